// File and backup helpers. Every failure is written as one line to the update
// log and reported by an integer code; nothing aborts the process.
//
// Derived paths ("%s/%s", "%s.quil-backup") use 1024-byte buffers. A derived
// path that does not fit is a failure of the operation (its usual code, with a
// log line naming the path); nothing is ever touched under a cut name.
#ifndef UPDATER_FILEOPS_FILEOPS_H_
#define UPDATER_FILEOPS_FILEOPS_H_

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>

#include "base/error_codes.h"
#include "base/paths.h"

constexpr const char kBackupSuffix[] = ".quil-backup";

// Formats "dir/name" into `out`. False, with `out` emptied, when the result
// does not fit: callers must then fail instead of using a cut name.
bool join_path(char (&out)[kMaxPath], const char* dir, const char* name);

// Owns one stdio stream and closes it at scope end (close result ignored).
class ScopedFile {
 public:
  explicit ScopedFile(FILE* f = nullptr) : f_(f) {}
  ~ScopedFile() {
    if (f_) fclose(f_);
  }
  ScopedFile(const ScopedFile&) = delete;
  ScopedFile& operator=(const ScopedFile&) = delete;

  FILE* get() const { return f_; }
  explicit operator bool() const { return f_ != nullptr; }
  // Gives up ownership without closing.
  FILE* release() {
    FILE* f = f_;
    f_ = nullptr;
    return f;
  }
  void reset(FILE* f = nullptr) {
    FILE* old = f_;
    f_ = f;
    if (old) fclose(old);
  }
  // Closes now; returns fclose's result (0 when nothing was open).
  int close() {
    // The member is cleared first, so the stream is never referenced after
    // fclose, even when fclose fails.
    FILE* f = release();
    return f ? fclose(f) : 0;
  }

 private:
  FILE* f_;
};

// Owns one file descriptor and closes it at scope end (close result ignored).
class ScopedFd {
 public:
  explicit ScopedFd(int fd = -1) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;

  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  // Gives up ownership without closing.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Relative paths below are paths of the installation: each operation resolves
// them beneath `root`, the installation directory (AT_FDCWD: the working
// directory), when it happens (beneath.h), so a
// symbolic link leading elsewhere makes it fail (errno EXDEV) instead of
// carrying it out of the installation. Absolute paths are used as they are.

// Adds owner write permission (0200) if missing. Symbolic links and their
// targets are left alone (the path itself is examined, not followed).
void make_owner_writable(int root, const char* path);

// Opens a stream. For a read-only mode string ("r", "rb") the file is only
// opened (a final link followed while it stays in the installation) and left
// unchanged. Otherwise the file is made owner-writable and opened, never
// through a final link of the installation; when `owner` is given the file
// gets its owner and group (where the process may give files away); then its
// mode is set to exactly `mode` (file type bits included, so the umask has no
// say) and read back. Null when the open, the change or the check fails (a
// file created before the failure stays). A FIFO, socket or device is
// refused without blocking (EINVAL).
FILE* open_with_mode(int root, const char* path, const char* mode_string, mode_t mode,
                     const struct stat* owner = nullptr);

// Creates every missing directory above the last path component (mode 0755;
// in the installation with the owner of the directory it is made in). `path`
// is modified temporarily and restored. Returns 0 or 7.
int ensure_parent_dir(int root, char* path);

// remove() after make_owner_writable. Returns 0 or -1.
int ensure_remove(int root, const char* path);

// Removes a file, a link (never its target) or a whole tree, by remove_tree_at
// on the directory holding it (open_parent_dir in beneath.h). Returns 0, or
// -1 when the path is missing (silently), or as remove_tree_at.
int ensure_remove_recursive(int root, const char* path);

// Tree removal by descriptors. Each directory is opened relative to the one
// holding it and never through a link (O_NOFOLLOW), read through that
// descriptor, and its entries are removed by unlinkat on it; no path is ever
// formed. A directory of the tree swapped for a link during the walk is met
// as the link, which alone goes: nothing outside the tree is ever removed,
// however its names change meanwhile. Nothing is made writable first.
//
// Removes the entry `name` of the directory `dirfd` (any descriptor of it,
// O_PATH included): a file, a link or a whole tree. 0; -1 when it is missing
// (silently), or when an entry cannot be opened, read or removed (logged; the
// walk goes on with the other entries, and nothing is undone).
int remove_tree_at(int dirfd, const char* name);
// Removes every entry of the directory `dirfd` (any descriptor of it) but the
// one named `keep` (null: none), as remove_tree_at. 0, or -1 when something
// other than `keep` stays.
int remove_entries_at(int dirfd, const char* keep);

// rename() replacing the destination, after creating its parent directories.
// `dst` is modified temporarily and restored. Returns 0; 7 when a parent cannot
// be made, the existing destination cannot be removed (a non-empty directory)
// or the rename fails; 6 when `src` cannot be examined (a dangling link is
// still moved); 42 when `check_type` is set and `src` is neither a regular
// file nor a directory.
int rename_file(int root, const char* src, char* dst, bool check_type);

// Moves `path` to "<path>.quil-backup", replacing an older backup. Returns
// 0, 6 or 7 (7 also when the backup name does not fit the buffer).
int backup_create(int root, const char* path);
// Moves the backup back over `path`; 0 when there is no backup. Returns 0, 6 or 7.
int backup_restore(int root, const char* path);
// Deletes the backup if any. Returns 0 or 7.
int backup_delete(int root, const char* path);

// The copies below work through descriptors: the directories holding `src`
// and `dst` are opened (open_parent_dir in beneath.h), and from there every
// source entry is opened relative to its opened directory without following a
// link (O_NOFOLLOW, O_NONBLOCK) and judged by fstat of what was opened, and
// every destination entry is created relative to its opened directory
// (O_EXCL, O_NOFOLLOW) and given its owner and mode through its descriptor.
// A name changed meanwhile (a file swapped for a link, a directory for a
// link) is therefore never followed: a source file that became a link is
// copied as that link, and a destination directory that is not one, or a
// link, fails the copy (7). Paths serve only the skip rules and the log.

// Creates `new_link` with the same target text as `link`. Returns 0, or 6 when
// the link cannot be read, its target is longer than 1024 bytes, or the new
// link cannot be created (for example because the name exists).
int ensure_copy_symlink(int root, const char* link, const char* new_link);

// Recursive copy of a file, link or tree, leaving out children whose source
// path equals either skip path (ASCII case-insensitively). Directories are
// created with the source's mode less the umask; an existing one is merged
// into, an existing file or link replaced (never written through). Sources
// that are neither files, links nor directories (pipes, devices, sockets)
// fail the copy (7). The first failing entry ends the copy and its code is
// returned: 0, 6, 7 or 13 (6 for a source path, 7 for a destination path
// that does not fit the buffer; 6 too when a directory cannot be read to its
// end). Nothing is undone.
int ensure_copy_recursive(int root, const char* src, const char* dst, char skip_paths[2][kMaxPath]);
// The same, also leaving out the child whose source path is exactly
// `also_skip` (may be null): a copy into a directory inside its own source
// must not descend into its destination.
int ensure_copy_recursive_skipping(int root, const char* src, const char* dst,
                                   char skip_paths[2][kMaxPath], const char* also_skip);
// Copies one file (or one link as a link) with exactly the source's mode and,
// where the process may give files away, its owner; the source is only read.
// An existing destination file or link is replaced. Returns 0; 6 when the
// source cannot be examined, opened or read; 7 when the destination cannot be
// created, given the mode or written, or the source is neither a regular file
// nor a link, or the final mode change fails; 13 without memory. A partly
// written destination stays.
int ensure_copy(int root, const char* src, const char* dst);

#endif  // UPDATER_FILEOPS_FILEOPS_H_
