// Test-only fault injector, loaded with LD_PRELOAD into the program under
// test. It counts the calls of one kind that touch paths below a chosen
// directory and makes the N-th of them (and, when sticky, every later one)
// fail with a chosen errno, without touching the file system for that call.
//
// Environment:
//   UPDATER_FAULT_KIND    write | rename | open | fsync | mkdir | remove | readdir
//   UPDATER_FAULT_AT      N, counted from 1
//   UPDATER_FAULT_ERRNO   errno value (decimal)
//   UPDATER_FAULT_STICKY  "1": fail every call from the N-th on
//   UPDATER_FAULT_SCOPE   absolute directory; calls on other paths are neither
//                         counted nor failed (the log and status file stay out)
//   UPDATER_FAULT_REPORT  file to which one line "kind N errno path" is
//                         appended per injected failure
//
// Kinds: write = write, pwrite, fwrite, and fflush/fclose of a stream with
// buffered output (the buffer is dropped, as when the kernel refuses it);
// open = open, openat, creat, fopen, opendir; remove = remove, unlink,
// unlinkat, rmdir; readdir = readdir (a NULL with errno set); mkdir = mkdir of
// a name that does not exist yet; the rest by name.
// A failing fwrite writes half of its bytes first, like a disk that fills up.

// The wrappers must define the plain and the 64-bit names separately.
#undef _FILE_OFFSET_BITS
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

enum Kind { kNone, kWrite, kRename, kOpen, kFsync, kMkdir, kRemove, kReaddir };
static const char* const kKindNames[] = {"",      "write", "rename", "open",
                                         "fsync", "mkdir", "remove", "readdir"};

static int g_state;  // 0 not read, 1 read
static enum Kind g_kind = kNone;
static long g_at;
static int g_errno = EIO;
static int g_sticky;
static char g_scope[PATH_MAX];
static size_t g_scope_len;
static char g_report[PATH_MAX];
static long g_count;

static void ReadSettings(void) {
  if (__atomic_load_n(&g_state, __ATOMIC_ACQUIRE)) return;
  const char* kind = getenv("UPDATER_FAULT_KIND");
  for (int k = kWrite; kind && k <= kReaddir; ++k) {
    if (!strcmp(kind, kKindNames[k])) g_kind = (enum Kind)k;
  }
  const char* at = getenv("UPDATER_FAULT_AT");
  g_at = at ? atol(at) : 0;
  const char* err = getenv("UPDATER_FAULT_ERRNO");
  if (err) g_errno = atoi(err);
  const char* sticky = getenv("UPDATER_FAULT_STICKY");
  g_sticky = sticky && !strcmp(sticky, "1");
  const char* scope = getenv("UPDATER_FAULT_SCOPE");
  if (scope && strlen(scope) < sizeof(g_scope)) {
    strcpy(g_scope, scope);
    g_scope_len = strlen(g_scope);
    while (g_scope_len > 1 && g_scope[g_scope_len - 1] == '/') g_scope[--g_scope_len] = '\0';
  }
  const char* report = getenv("UPDATER_FAULT_REPORT");
  if (report && strlen(report) < sizeof(g_report)) strcpy(g_report, report);
  __atomic_store_n(&g_state, 1, __ATOMIC_RELEASE);
}

// The absolute form of `path` (relative to `dirfd`), lexically; false when it
// cannot be formed.
static int Absolute(int dirfd, const char* path, char* out, size_t size) {
  if (!path) return 0;
  if (path[0] == '/') return snprintf(out, size, "%s", path) < (int)size;
  char base[PATH_MAX];
  if (dirfd == AT_FDCWD) {
    if (!getcwd(base, sizeof(base))) return 0;
  } else {
    char link[64];
    snprintf(link, sizeof(link), "/proc/self/fd/%d", dirfd);
    ssize_t n = readlink(link, base, sizeof(base) - 1);
    if (n < 0) return 0;
    base[n] = '\0';
  }
  return snprintf(out, size, "%s/%s", base, path) < (int)size;
}

static int InScope(const char* abs) {
  if (!g_scope_len) return 1;
  return !strncmp(abs, g_scope, g_scope_len) &&
         (abs[g_scope_len] == '/' || abs[g_scope_len] == '\0');
}

static void Report(long n, const char* abs) {
  if (!g_report[0]) return;
  char line[PATH_MAX + 64];
  int len = snprintf(line, sizeof(line), "%s %ld %d %s\n", kKindNames[g_kind], n, g_errno, abs);
  // Raw system calls: the wrappers below must not see the injector's own I/O.
  int fd = (int)syscall(SYS_openat, AT_FDCWD, g_report, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  if (len > (int)sizeof(line) - 1) len = (int)sizeof(line) - 1;
  syscall(SYS_write, fd, line, (size_t)len);
  syscall(SYS_close, fd);
}

// True when this call is to fail; errno is then set to the chosen value.
// Otherwise errno is left as it was.
static int ShouldFail(enum Kind kind, int dirfd, const char* path, const char* path2) {
  int saved = errno;
  ReadSettings();
  if (kind != g_kind || g_at <= 0) return 0;
  char abs[PATH_MAX];
  int in = Absolute(dirfd, path, abs, sizeof(abs)) && InScope(abs);
  if (!in && path2) {
    in = Absolute(AT_FDCWD, path2, abs, sizeof(abs)) && InScope(abs);
  }
  errno = saved;
  if (!in) return 0;
  long n = __atomic_add_fetch(&g_count, 1, __ATOMIC_SEQ_CST);
  if (n != g_at && !(g_sticky && n > g_at)) return 0;
  Report(n, abs);
  errno = g_errno;
  return 1;
}

static int ShouldFailFd(enum Kind kind, int fd) {
  ReadSettings();
  if (kind != g_kind || fd < 0) return 0;
  int saved = errno;
  char link[64], target[PATH_MAX];
  snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, target, sizeof(target) - 1);
  errno = saved;
  if (n <= 0 || target[0] != '/') return 0;  // pipes, sockets, anonymous files
  target[n] = '\0';
  return ShouldFail(kind, AT_FDCWD, target, NULL);
}

#define REAL(name)               \
  static __typeof__(name)* real; \
  if (!real) real = (__typeof__(name)*)dlsym(RTLD_NEXT, #name)

// ---- write ----

ssize_t write(int fd, const void* buf, size_t count) {
  REAL(write);
  if (ShouldFailFd(kWrite, fd)) return -1;
  return real(fd, buf, count);
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
  REAL(pwrite);
  if (ShouldFailFd(kWrite, fd)) return -1;
  return real(fd, buf, count, offset);
}

ssize_t pwrite64(int fd, const void* buf, size_t count, off64_t offset) {
  REAL(pwrite64);
  if (ShouldFailFd(kWrite, fd)) return -1;
  return real(fd, buf, count, offset);
}

// File copies may move their bytes in the kernel; a full disk shows there too.
ssize_t copy_file_range(int fd_in, off64_t* off_in, int fd_out, off64_t* off_out, size_t len,
                        unsigned int flags) {
  REAL(copy_file_range);
  if (ShouldFailFd(kWrite, fd_out)) return -1;
  return real(fd_in, off_in, fd_out, off_out, len, flags);
}

size_t fwrite(const void* ptr, size_t size, size_t nmemb, FILE* fp) {
  REAL(fwrite);
  if (size && nmemb && ShouldFailFd(kWrite, fileno(fp))) {
    int err = errno;
    size_t half = size * nmemb / 2;
    if (half) real(ptr, 1, half, fp);
    errno = err;
    return half / size;
  }
  return real(ptr, size, nmemb, fp);
}

int fflush(FILE* fp) {
  REAL(fflush);
  if (fp && __fpending(fp) > 0 && ShouldFailFd(kWrite, fileno(fp))) {
    __fpurge(fp);
    return EOF;
  }
  return real(fp);
}

int fclose(FILE* fp) {
  REAL(fclose);
  if (fp && __fpending(fp) > 0 && ShouldFailFd(kWrite, fileno(fp))) {
    int err = errno;
    __fpurge(fp);
    real(fp);
    errno = err;
    return EOF;
  }
  return real(fp);
}

// ---- fsync ----

int fsync(int fd) {
  REAL(fsync);
  if (ShouldFailFd(kFsync, fd)) return -1;
  return real(fd);
}

int fdatasync(int fd) {
  REAL(fdatasync);
  if (ShouldFailFd(kFsync, fd)) return -1;
  return real(fd);
}

// ---- open ----

static mode_t ModeArg(int flags, va_list ap) {
  return (flags & O_CREAT) || (flags & __O_TMPFILE) == __O_TMPFILE ? (mode_t)va_arg(ap, int) : 0;
}

#define DEFINE_OPEN(name)                                   \
  int name(const char* path, int flags, ...) {              \
    REAL(name);                                             \
    va_list ap;                                             \
    va_start(ap, flags);                                    \
    mode_t mode = ModeArg(flags, ap);                       \
    va_end(ap);                                             \
    if (ShouldFail(kOpen, AT_FDCWD, path, NULL)) return -1; \
    return real(path, flags, mode);                         \
  }
DEFINE_OPEN(open)
DEFINE_OPEN(open64)

#define DEFINE_OPENAT(name)                               \
  int name(int dirfd, const char* path, int flags, ...) { \
    REAL(name);                                           \
    va_list ap;                                           \
    va_start(ap, flags);                                  \
    mode_t mode = ModeArg(flags, ap);                     \
    va_end(ap);                                           \
    if (ShouldFail(kOpen, dirfd, path, NULL)) return -1;  \
    return real(dirfd, path, flags, mode);                \
  }
DEFINE_OPENAT(openat)
DEFINE_OPENAT(openat64)

int creat(const char* path, mode_t mode) {
  REAL(creat);
  if (ShouldFail(kOpen, AT_FDCWD, path, NULL)) return -1;
  return real(path, mode);
}

int creat64(const char* path, mode_t mode) {
  REAL(creat64);
  if (ShouldFail(kOpen, AT_FDCWD, path, NULL)) return -1;
  return real(path, mode);
}

FILE* fopen(const char* path, const char* mode) {
  REAL(fopen);
  if (ShouldFail(kOpen, AT_FDCWD, path, NULL)) return NULL;
  return real(path, mode);
}

FILE* fopen64(const char* path, const char* mode) {
  REAL(fopen64);
  if (ShouldFail(kOpen, AT_FDCWD, path, NULL)) return NULL;
  return real(path, mode);
}

DIR* opendir(const char* path) {
  REAL(opendir);
  if (ShouldFail(kOpen, AT_FDCWD, path, NULL)) return NULL;
  return real(path);
}

// ---- rename ----

int rename(const char* from, const char* to) {
  REAL(rename);
  if (ShouldFail(kRename, AT_FDCWD, from, to)) return -1;
  return real(from, to);
}

int renameat(int fromfd, const char* from, int tofd, const char* to) {
  REAL(renameat);
  if (ShouldFail(kRename, fromfd, from, tofd == AT_FDCWD ? to : NULL)) return -1;
  return real(fromfd, from, tofd, to);
}

int renameat2(int fromfd, const char* from, int tofd, const char* to, unsigned flags) {
  REAL(renameat2);
  if (ShouldFail(kRename, fromfd, from, tofd == AT_FDCWD ? to : NULL)) return -1;
  return real(fromfd, from, tofd, to, flags);
}

// ---- mkdir ----

// The kernel reports an existing name as EEXIST before anything else, full
// disk or not, so only the creation of a new directory can fail otherwise.
static int NameExists(int dirfd, const char* path) {
  struct stat st;
  int saved = errno;
  int exists = fstatat(dirfd, path, &st, AT_SYMLINK_NOFOLLOW) == 0;
  errno = saved;
  return exists;
}

int mkdir(const char* path, mode_t mode) {
  REAL(mkdir);
  if (!NameExists(AT_FDCWD, path) && ShouldFail(kMkdir, AT_FDCWD, path, NULL)) return -1;
  return real(path, mode);
}

int mkdirat(int dirfd, const char* path, mode_t mode) {
  REAL(mkdirat);
  if (!NameExists(dirfd, path) && ShouldFail(kMkdir, dirfd, path, NULL)) return -1;
  return real(dirfd, path, mode);
}

// ---- remove ----

int remove(const char* path) {
  REAL(remove);
  if (ShouldFail(kRemove, AT_FDCWD, path, NULL)) return -1;
  return real(path);
}

int unlink(const char* path) {
  REAL(unlink);
  if (ShouldFail(kRemove, AT_FDCWD, path, NULL)) return -1;
  return real(path);
}

int unlinkat(int dirfd, const char* path, int flags) {
  REAL(unlinkat);
  if (ShouldFail(kRemove, dirfd, path, NULL)) return -1;
  return real(dirfd, path, flags);
}

int rmdir(const char* path) {
  REAL(rmdir);
  if (ShouldFail(kRemove, AT_FDCWD, path, NULL)) return -1;
  return real(path);
}

// ---- readdir ----

struct dirent* readdir(DIR* dir) {
  REAL(readdir);
  if (ShouldFailFd(kReaddir, dirfd(dir))) return NULL;
  return real(dir);
}

struct dirent64* readdir64(DIR* dir) {
  REAL(readdir64);
  if (ShouldFailFd(kReaddir, dirfd(dir))) return NULL;
  return real(dir);
}
