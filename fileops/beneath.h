// Paths of the installation, resolved beneath it at the moment of each use.
//
// A relative path names something of the installation. Every directory it
// passes through is resolved beneath the installation directory, the `root`
// each call is given (an open directory the caller keeps open; AT_FDCWD, or
// any negative value, for the working directory), following symbolic links
// only while they stay beneath it, and the operation is then made by the *at
// call on that directory and the last component, which is not followed unless
// asked (and then only while it stays beneath too). Checking a path once and
// using it later would let a directory swapped for a link in between carry the
// operation elsewhere. An absolute path (the run's own files, the staged copy)
// is used as it is.
//
// Resolution uses openat2 with RESOLVE_BENEATH, and walks component by
// component from the installation directory where the kernel lacks it or
// refuses an absolute link (which may still lead inside).
#ifndef UPDATER_FILEOPS_BENEATH_H_
#define UPDATER_FILEOPS_BENEATH_H_

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/types.h>

// The directory holding the last component of a path, open for *at calls, and
// that component. Not copyable; closes what it opened.
class BeneathPath {
 public:
  // With `follow`, a final symbolic link is resolved as well, so that name()
  // never names a link of the installation. On failure ok() is false and errno
  // tells why: EXDEV when the path leads outside (also logged), ELOOP for too
  // many links, ENOENT, ENOTDIR, ENAMETOOLONG and the like.
  BeneathPath(int root, const char* path, bool follow = false);
  ~BeneathPath();
  BeneathPath(const BeneathPath&) = delete;
  BeneathPath& operator=(const BeneathPath&) = delete;

  bool ok() const { return ok_; }
  int dir() const { return dir_; }
  const char* name() const { return name_; }
  // Flags for the *at and open calls: the final component is never followed,
  // except for an absolute path resolved with `follow`.
  int at_flags() const { return follow_as_is_ ? 0 : AT_SYMLINK_NOFOLLOW; }
  int open_flags() const { return follow_as_is_ ? 0 : O_NOFOLLOW; }

 private:
  bool ok_ = false;
  bool owned_ = false;
  bool follow_as_is_ = false;
  int dir_ = -1;
  const char* name_ = "";
  char buffer_[PATH_MAX];
};

// The component-by-component resolution alone, as used where openat2 is
// missing: the directory holding the last component of the relative `path`
// (beneath `base`, an open directory or AT_FDCWD), which the caller closes
// unless it is `base`, with that component copied to `name` (NAME_MAX + 1
// bytes; "." when the path ends in a directory). -1 with errno on failure.
int walk_beneath(int base, const char* path, bool follow, char* name);

// The directory holding the last component of `path` (trailing slashes
// dropped), opened for *at calls, with that component copied to `name`
// (NAME_MAX + 1 bytes). A relative path resolves as BeneathPath does; an
// absolute one opens its parent directory by name, so that calls made later
// on the descriptor stay in that directory whatever becomes of the names
// leading to it. The descriptor, which the caller closes, or -1 with errno
// (EINVAL for a path without a last component, such as "/").
int open_parent_dir(int root, const char* path, char* name);

// fstatat beneath; `follow` also resolves a final link. 0, or -1 with errno.
int stat_beneath(int root, const char* path, struct stat* st, bool follow);
// faccessat on the path, a final link resolved beneath. 0, or -1 with errno.
int access_beneath(int root, const char* path, int amode);
// open beneath; a final link is followed (beneath) unless `flags` hold
// O_NOFOLLOW. The descriptor, or -1 with errno.
int open_beneath(int root, const char* path, int flags, mode_t mode = 0);
// Like remove(): unlinks a file or link, or removes an empty directory.
int remove_beneath(int root, const char* path);
int rmdir_beneath(int root, const char* path);
// renameat of the two paths, each resolved beneath (neither final link is
// followed). 0, or -1 with errno.
int rename_beneath(int root, const char* src, const char* dst);
// Creates the directory `path` (mode less the umask) with the owner of the
// directory holding it. 0, or -1 with errno (EEXIST for an existing name).
int mkdir_beneath(int root, const char* path, mode_t mode);

// Gives `path` (never followed) the owner and group of `like`, or, when `like`
// is null, those of the directory holding it: a replaced file keeps its owner,
// a new one belongs to whoever owns its directory, also when root updates an
// installation of another user. Nothing happens when they match already, or
// when the process may not give files away (EPERM). 0, or -1 with errno.
int inherit_owner(int root, const char* path, const struct stat* like);

#endif  // UPDATER_FILEOPS_BENEATH_H_
