# `cpack -G DEB` in a build tree: one Debian package of everything that
# `cmake --install` installs, below /usr. Its dependencies are those of the
# libraries the programs link, as dpkg-shlibdeps (dpkg-dev, file) finds them.
set(CPACK_PACKAGE_NAME updater)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "applies update archives to an installed application")
set(CPACK_PACKAGE_DESCRIPTION
    "updater applies QEX update archives (bzip2 entries and a manifest of add, patch and remove actions) to an installed application, with backups and rollback. make-update, qex, qxdiff and qxpatch build and inspect such archives and patches; libqex reads and writes the archives.")
set(CPACK_PACKAGE_CONTACT "updater maintainers <updater@localhost>")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
