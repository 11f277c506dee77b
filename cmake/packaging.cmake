# `cpack -G DEB` in a build tree configured with -DUPDATER_PACKAGED=ON (which
# installs below /usr) makes three Debian packages, one per install component:
#   updater        the packaged updater, its manual and its empty
#                  configuration directory (UPDATER_SYSTEM_CONFIG_DIR);
#   updater-tools  make-update, qex, qxdiff, qxpatch and their manuals;
#   libqex-dev     libqex.a in the multiarch library directory, qex.h, the
#                  pkg-config and CMake files, qex(5).
# Each carries the machine-readable copyright and a compressed
# changelog.Debian; dependencies come from dpkg-shlibdeps (dpkg-dev, file).
# Build with the flags of `dpkg-buildflags` in the environment of the first
# cmake run, CPPFLAGS added to CFLAGS and CXXFLAGS (CMake reads no CPPFLAGS),
# for the hardening Debian expects (tests/package_test.sh does).
set(CPACK_PACKAGE_NAME updater)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "updater maintainers <maintainers@updater.invalid>")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
# The configuration directory is an absolute path: the staging tree is the
# DESTDIR of every install rule.
set(CPACK_SET_DESTDIR ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL updater tools dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Each description: the synopsis, then the extended text, whose lines CPack
# indents (an empty line becomes a paragraph break).
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SOURCE updater)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_UPDATER_PACKAGE_NAME updater)
set(CPACK_DEBIAN_UPDATER_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_UPDATER_DESCRIPTION "apply update archives to an installed application
updater applies a QEX update archive (bzip2-compressed entries and a
manifest of add, patch and remove actions) to an installed application,
with backups, rollback, a journal that finishes or undoes an interrupted
run, staged updates and a progress window.

This build trusts, for each application, the keys and settings that the
administrator puts in ${UPDATER_SYSTEM_CONFIG_DIR}/<application id>/, and
refuses unsigned archives.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME updater-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS updater)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "build, inspect and sign update archives
The release tools of updater: make-update writes the update archive that
turns one installation tree into another, qex creates, inspects, signs and
verifies archives, and qxdiff and qxpatch write and apply binary patches.

make-update --verify runs the updater of the updater package.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libqex-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# What a program linking the static library needs (qex.pc names them).
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libbz2-dev, libssl-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION "static library for QEX update archives
libqex reads, writes, extracts, signs and verifies the update archives that
updater applies. This package holds libqex.a, its C header qex.h, a
pkg-config file and a CMake package (find_package(qex), target qex::qex),
and the manual page of the formats, qex(5).")

if(UPDATER_PACKAGED)
  # The changelog's date is the build's, or SOURCE_DATE_EPOCH's when set.
  string(TIMESTAMP DEBIAN_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  foreach(component updater tools dev)
    string(TOUPPER ${component} upper)
    set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
    set(dir ${CMAKE_BINARY_DIR}/debian/${package})
    configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${dir}/changelog.Debian @ONLY)
    execute_process(COMMAND gzip -9nf ${dir}/changelog.Debian COMMAND_ERROR_IS_FATAL ANY)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${dir}/changelog.Debian.gz
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  endforeach()
endif()
include(CPack)
