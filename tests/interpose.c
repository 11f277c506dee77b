// Test-only fault injector, loaded with LD_PRELOAD into the program under
// test. It counts the calls of one kind that touch paths below a chosen
// directory and makes the N-th of them (and, when sticky, every later one)
// fail with a chosen errno, without touching the file system for that call.
//
// Environment: UPDATER_FAULT_KIND (write | rename | open | fsync | mkdir |
// remove | readdir), UPDATER_FAULT_AT (N, from 1), UPDATER_FAULT_ERRNO
// (decimal), UPDATER_FAULT_STICKY ("1": every call from the N-th on),
// UPDATER_FAULT_SCOPE (absolute directory: calls on other paths, such as the
// log's and the status file's, are neither counted nor failed) and
// UPDATER_FAULT_REPORT (a file that gets one line "kind N errno path" per
// injected failure). Kind "any" counts the calls of every kind together.
// UPDATER_FAULT_SIGNAL (a signal number): the N-th call sends that signal to
// the process instead of failing (SIGKILL: before it reaches the file system).
// Kind "mutating" counts every call that can change a file system, on any
// thread: writes, renames, removals, new directories and links, opens that
// create, truncate or write, flushes, and changes of mode or owner.
//
// Wrapped are the names that the updater, libstdc++ and libbz2 import, each
// counted as the kind its wrapper names.

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
#include <unistd.h>

enum Kind {
  kNone,
  kWrite,
  kRename,
  kOpen,
  kFsync,
  kMkdir,
  kRemove,
  kReaddir,
  kAny,
  kMutating,
  kChmod,
  kAccess
};
static const char* const kKindNames[] = {"",      "write",    "rename", "open",
                                         "fsync", "mkdir",    "remove", "readdir",
                                         "any",   "mutating", "chmod",  "access"};

static int g_read;  // the settings below have been read
static enum Kind g_kind = kNone;
static long g_at, g_count;
static int g_errno = EIO, g_sticky, g_kill;
static char g_scope[PATH_MAX], g_report[PATH_MAX];
static size_t g_scope_len;

static const char* Env(const char* name) {
  const char* value = getenv(name);
  return value ? value : "";
}

static void ReadSettings(void) {
  if (__atomic_load_n(&g_read, __ATOMIC_ACQUIRE)) return;
  for (int k = kWrite; k <= kChmod; ++k)
    if (!strcmp(Env("UPDATER_FAULT_KIND"), kKindNames[k])) g_kind = (enum Kind)k;
  g_at = atol(Env("UPDATER_FAULT_AT"));
  if (*Env("UPDATER_FAULT_ERRNO")) g_errno = atoi(Env("UPDATER_FAULT_ERRNO"));
  g_sticky = !strcmp(Env("UPDATER_FAULT_STICKY"), "1");
  g_kill = atoi(Env("UPDATER_FAULT_SIGNAL"));
  g_scope_len = (size_t)snprintf(g_scope, sizeof(g_scope), "%s", Env("UPDATER_FAULT_SCOPE"));
  if (g_scope_len >= sizeof(g_scope)) g_kind = kNone;  // a cut scope would be another one
  while (g_scope_len > 1 && g_scope[g_scope_len - 1] == '/') g_scope[--g_scope_len] = '\0';
  snprintf(g_report, sizeof(g_report), "%s", Env("UPDATER_FAULT_REPORT"));
  __atomic_store_n(&g_read, 1, __ATOMIC_RELEASE);
}

// The absolute form of `path` relative to `dirfd` (lexically; an empty path
// names `dirfd` itself) in `abs` (PATH_MAX bytes); whether it lies in scope.
// Pipes, sockets and anonymous files are never in scope.
static int InScope(int dirfd, const char* path, char* abs) {
  char link[64], base[PATH_MAX];
  ssize_t n = 0;
  if (!path) return 0;
  if (path[0] != '/') {
    snprintf(link, sizeof(link), dirfd == AT_FDCWD ? "/proc/self/cwd" : "/proc/self/fd/%d", dirfd);
    if ((n = readlink(link, base, sizeof(base) - 1)) <= 0 || base[0] != '/') return 0;
  }
  base[n] = '\0';
  if (snprintf(abs, PATH_MAX, "%s%s%s", base, n && *path ? "/" : "", path) >= PATH_MAX) return 0;
  return !g_scope_len || (!strncmp(abs, g_scope, g_scope_len) &&
                          (abs[g_scope_len] == '/' || abs[g_scope_len] == '\0'));
}

// ---- A pause for a race at any wrapped call ----
// UPDATER_PAUSE_CALL (a kind above, "access" for a condition test, "any" for
// every kind), UPDATER_PAUSE_MATCH (a substring of the call's absolute path,
// of either path of a rename), UPDATER_PAUSE_NTH (N, from 1) and
// UPDATER_PAUSE_FILE: the N-th matching call, before it reaches the file
// system, creates the file and waits until the test removes it,
// UPDATER_PAUSE_SECONDS (default 30) at most. Once per process; other threads
// go on meanwhile.

static void PauseAt(enum Kind kind, int dirfd, const char* path, const char* path2) {
  static int read, nth;
  static enum Kind call = kNone;
  static long count;
  const char* match = Env("UPDATER_PAUSE_MATCH");
  const char* file = Env("UPDATER_PAUSE_FILE");
  int saved = errno;
  if (!__atomic_load_n(&read, __ATOMIC_ACQUIRE)) {
    for (int k = kWrite; k <= kAccess; ++k)
      if (!strcmp(Env("UPDATER_PAUSE_CALL"), kKindNames[k])) call = (enum Kind)k;
    nth = *Env("UPDATER_PAUSE_NTH") ? atoi(Env("UPDATER_PAUSE_NTH")) : 1;
    __atomic_store_n(&read, 1, __ATOMIC_RELEASE);
  }
  char abs[PATH_MAX], abs2[PATH_MAX];
  abs[0] = abs2[0] = '\0';
  if (call != kNone && *file && (call == kind || call == kAny)) {
    // InScope forms the absolute paths whatever the scope.
    InScope(dirfd, path, abs);
    InScope(AT_FDCWD, path2, abs2);
  }
  if (!((*abs && strstr(abs, match)) || (*abs2 && strstr(abs2, match))) ||
      __atomic_add_fetch(&count, 1, __ATOMIC_SEQ_CST) != nth) {
    errno = saved;
    return;
  }
  int fd = (int)syscall(SYS_openat, AT_FDCWD, file, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) syscall(SYS_close, fd);
  long limit = *Env("UPDATER_PAUSE_SECONDS") ? atol(Env("UPDATER_PAUSE_SECONDS")) : 30;
  struct stat st;
  for (long i = 0; i < limit * 100 && stat(file, &st) == 0; ++i) usleep(10000);
  errno = saved;
}

// True when this call is to fail; errno is then set to the chosen value.
// Otherwise errno is left as it was. `mutating`: the call can change a file
// system (an open only when it creates, truncates or writes).
static int ShouldFailM(enum Kind kind, int mutating, int dirfd, const char* path,
                       const char* path2) {
  PauseAt(kind, dirfd, path, path2);
  int saved = errno;
  ReadSettings();
  int counted =
      kind == g_kind || (g_kind == kAny && kind != kChmod) || (g_kind == kMutating && mutating);
  if (!counted || g_at <= 0) return 0;
  char abs[PATH_MAX];
  int in = InScope(dirfd, path, abs) || (path2 && InScope(AT_FDCWD, path2, abs));
  errno = saved;
  if (!in) return 0;
  long n = __atomic_add_fetch(&g_count, 1, __ATOMIC_SEQ_CST);
  if (n != g_at && !(g_sticky && n > g_at)) return 0;
  // The wrappers must not see the injector's own I/O: a raw system call, and
  // dprintf, whose write stays inside the C library. No report file: "" fails.
  int fd = (int)syscall(SYS_openat, AT_FDCWD, g_report, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd >= 0) {
    dprintf(fd, "%s %ld %d %s\n", kKindNames[kind], n, g_errno, abs);
    syscall(SYS_close, fd);
  }
  if (g_kill) {
    syscall(SYS_kill, getpid(), g_kill);
    errno = saved;
    return 0;
  }
  errno = g_errno;
  return 1;
}

static int ShouldFail(enum Kind kind, int dirfd, const char* path, const char* path2) {
  return ShouldFailM(kind, kind != kOpen && kind != kReaddir, dirfd, path, path2);
}

// The kernel reports an existing name as EEXIST before anything else, full
// disk or not, so only the creation of a new directory can fail otherwise.
static int IsNewName(const char* path) {
  struct stat st;
  int saved = errno, exists = lstat(path, &st) == 0;
  errno = saved;
  return !exists;
}

#define REAL(name)               \
  static __typeof__(name)* real; \
  if (!real) real = (__typeof__(name)*)dlsym(RTLD_NEXT, #name)

// `name` returns `failure` when `fails` holds, else what the real one returns.
#define WRAP(type, name, params, args, fails, failure) \
  type name params {                                   \
    REAL(name);                                        \
    if (fails) return failure;                         \
    return real args;                                  \
  }
#define ON_FD(kind, fd) ((fd) >= 0 && ShouldFail(kind, fd, "", NULL))
#define ON_PATH(kind, path) ShouldFail(kind, AT_FDCWD, path, NULL)

WRAP(ssize_t, write, (int fd, const void* b, size_t n), (fd, b, n), ON_FD(kWrite, fd), -1)
// File copies may move their bytes in the kernel; a full disk shows there too.
WRAP(ssize_t, copy_file_range, (int in, off64_t* oi, int out, off64_t* oo, size_t n, unsigned f),
     (in, oi, out, oo, n, f), ON_FD(kWrite, out), -1)
WRAP(int, fsync, (int fd), (fd), ON_FD(kFsync, fd), -1)
WRAP(int, fdatasync, (int fd), (fd), ON_FD(kFsync, fd), -1)
WRAP(int, syncfs, (int fd), (fd), ON_FD(kFsync, fd), -1)
WRAP(int, creat64, (const char* p, mode_t m), (p, m), ON_PATH(kOpen, p), -1)
WRAP(FILE*, fopen64, (const char* p, const char* m), (p, m),
     ShouldFailM(kOpen, m[0] != 'r' || strchr(m, '+') != NULL, AT_FDCWD, p, NULL), NULL)
WRAP(DIR*, opendir, (const char* p), (p), ON_PATH(kOpen, p), NULL)
WRAP(int, rename, (const char* a, const char* b), (a, b), ShouldFail(kRename, AT_FDCWD, a, b), -1)
WRAP(int, mkdir, (const char* p, mode_t m), (p, m), IsNewName(p) && ON_PATH(kMkdir, p), -1)
WRAP(int, remove, (const char* p), (p), ON_PATH(kRemove, p), -1)
WRAP(int, unlink, (const char* p), (p), ON_PATH(kRemove, p), -1)
WRAP(int, unlinkat, (int d, const char* p, int f), (d, p, f), ShouldFail(kRemove, d, p, NULL), -1)
WRAP(int, rmdir, (const char* p), (p), ON_PATH(kRemove, p), -1)
WRAP(struct dirent*, readdir, (DIR * d), (d), ON_FD(kReaddir, dirfd(d)), NULL)
WRAP(struct dirent64*, readdir64, (DIR * d), (d), ON_FD(kReaddir, dirfd(d)), NULL)

// The mode argument exists only when the flags create a file.
#define WRAP_OPEN(name, params, dir, args)                                                         \
  int name params {                                                                                \
    REAL(name);                                                                                    \
    va_list ap;                                                                                    \
    va_start(ap, flags);                                                                           \
    mode_t mode = (flags & O_CREAT) || (flags & __O_TMPFILE) == __O_TMPFILE ? va_arg(ap, int) : 0; \
    va_end(ap);                                                                                    \
    if (ShouldFailM(kOpen, (flags & (O_CREAT | O_TRUNC | O_WRONLY | O_RDWR)) != 0, dir, path,      \
                    NULL))                                                                         \
      return -1;                                                                                   \
    return real args;                                                                              \
  }
WRAP_OPEN(open, (const char* path, int flags, ...), AT_FDCWD, (path, flags, mode))
WRAP_OPEN(openat, (int d, const char* path, int flags, ...), d, (d, path, flags, mode))
WRAP_OPEN(open64, (const char* path, int flags, ...), AT_FDCWD, (path, flags, mode))

// Writes half of the bytes first, like a disk that fills up.
size_t fwrite(const void* ptr, size_t size, size_t nmemb, FILE* fp) {
  REAL(fwrite);
  if (size && nmemb && ON_FD(kWrite, fileno(fp))) {
    int err = errno;
    size_t half = size * nmemb / 2;
    if (half) real(ptr, 1, half, fp);
    errno = err;
    return half / size;
  }
  return real(ptr, size, nmemb, fp);
}

// A stream whose buffered output is refused: the buffer is dropped.
static int DropsBuffer(FILE* fp) {
  if (!fp || !__fpending(fp) || !ON_FD(kWrite, fileno(fp))) return 0;
  __fpurge(fp);
  return 1;
}

WRAP(int, fflush, (FILE * fp), (fp), DropsBuffer(fp), EOF)

int fclose(FILE* fp) {
  REAL(fclose);
  int dropped = DropsBuffer(fp), err = errno, rv = real(fp);
  errno = dropped ? err : errno;
  return dropped ? EOF : rv;
}

// ---- Paths resolved beneath the installation (fileops/beneath.h) ----
// The *at forms of rename and mkdir, counted as the plain kinds, and the
// opens of files relative to a resolved directory.

WRAP_OPEN(openat64, (int d, const char* path, int flags, ...), d, (d, path, flags, mode))

int renameat(int d1, const char* a, int d2, const char* b) {
  REAL(renameat);
  ReadSettings();
  char abs[PATH_MAX];
  int saved = errno, second = InScope(d2, b, abs);
  errno = saved;
  if (ShouldFail(kRename, d1, a, second ? abs : NULL)) return -1;
  return real(d1, a, d2, b);
}

static int IsNewNameAt(int d, const char* path) {
  struct stat st;
  int saved = errno, exists = fstatat(d, path, &st, AT_SYMLINK_NOFOLLOW) == 0;
  errno = saved;
  return !exists;
}
WRAP(int, mkdirat, (int d, const char* p, mode_t m), (d, p, m),
     IsNewNameAt(d, p) && ShouldFail(kMkdir, d, p, NULL), -1)
// A new link is a new name as a new directory is: counted with them.
WRAP(int, symlinkat, (const char* t, int d, const char* p), (t, d, p),
     IsNewNameAt(d, p) && ShouldFail(kMkdir, d, p, NULL), -1)

// Changes of mode and owner, and the other writes: counted by "mutating" only
// (kind "chmod" alone counts the first).
WRAP(int, chmod, (const char* p, mode_t m), (p, m), ON_PATH(kChmod, p), -1)
WRAP(int, fchmod, (int fd, mode_t m), (fd, m), ON_FD(kChmod, fd), -1)
WRAP(int, fchmodat, (int d, const char* p, mode_t m, int f), (d, p, m, f),
     ShouldFail(kChmod, d, p, NULL), -1)
WRAP(int, chown, (const char* p, uid_t u, gid_t g), (p, u, g), ON_PATH(kChmod, p), -1)
WRAP(int, lchown, (const char* p, uid_t u, gid_t g), (p, u, g), ON_PATH(kChmod, p), -1)
WRAP(int, fchown, (int fd, uid_t u, gid_t g), (fd, u, g), ON_FD(kChmod, fd), -1)
WRAP(int, fchownat, (int d, const char* p, uid_t u, gid_t g, int f), (d, p, u, g, f),
     ShouldFail(kChmod, d, p, NULL), -1)
WRAP(int, ftruncate, (int fd, off_t n), (fd, n), ON_FD(kWrite, fd), -1)
WRAP(int, ftruncate64, (int fd, off64_t n), (fd, n), ON_FD(kWrite, fd), -1)
WRAP(int, posix_fallocate, (int fd, off_t o, off_t n), (fd, o, n), ON_FD(kWrite, fd), errno)
WRAP(int, posix_fallocate64, (int fd, off64_t o, off64_t n), (fd, o, n), ON_FD(kWrite, fd), errno)
WRAP(ssize_t, pwrite, (int fd, const void* b, size_t n, off_t o), (fd, b, n, o), ON_FD(kWrite, fd),
     -1)
WRAP(ssize_t, pwrite64, (int fd, const void* b, size_t n, off64_t o), (fd, b, n, o),
     ON_FD(kWrite, fd), -1)
WRAP(int, symlink, (const char* t, const char* p), (t, p), IsNewName(p) && ON_PATH(kMkdir, p), -1)
WRAP(int, renameat2, (int d1, const char* a, int d2, const char* b, unsigned f), (d1, a, d2, b, f),
     ShouldFail(kRename, d1, a, NULL), -1)

WRAP(int, faccessat, (int d, const char* p, int m, int f), (d, p, m, f),
     (PauseAt(kAccess, d, p, NULL), 0), -1)

// openat2 has no C library function: the updater calls it through syscall().
long syscall(long number, ...) {
  REAL(syscall);
  va_list ap;
  va_start(ap, number);
  long a[6];
  for (int i = 0; i < 6; ++i) a[i] = va_arg(ap, long);
  va_end(ap);
#ifdef SYS_openat2
  if (number == SYS_openat2) PauseAt(kOpen, (int)a[0], (const char*)a[1], NULL);
#endif
  return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

// A decompressor without memory: with UPDATER_BZ_NO_MEMORY set, every
// BZ2_bzDecompressInit fails as bzip2 does when it cannot allocate its state.
int BZ2_bzDecompressInit(void* strm, int verbosity, int small) {
  static int (*real)(void*, int, int);
  if (!real) real = (int (*)(void*, int, int))dlsym(RTLD_NEXT, "BZ2_bzDecompressInit");
  if (*Env("UPDATER_BZ_NO_MEMORY")) return -3;  // BZ_MEM_ERROR
  return real(strm, verbosity, small);
}
