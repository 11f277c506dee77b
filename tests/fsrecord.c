// Test-only recorder, loaded with LD_PRELOAD into the updater: it logs every
// call (of the names the updater imports) that changes a file system below
// UPDATER_RECORD_SCOPE, and every flush, to the file UPDATER_RECORD, in the
// order the calls took effect on all threads: each call and its line happen
// under one lock. Written bytes go to "<log>.data". A line is
// "SEQ OP INO A B [PATH[\tPATH2]]", INO the inode the call touched:
//   create/mkdir INO 0 MODE PATH   symlink INO 0 TARGET PATH
//   rename 0 0 0 FROM\tTO          unlink/rmdir 0 0 0 PATH    chmod INO 0 MODE
//   size INO N 0 (a truncation)    write INO OFFSET LEN AT (LEN bytes at AT)
//   fsync/fsyncdir/syncfs INO 0 0
// A stream's bytes (stdio writes them inside the C library) are logged as one
// write of its whole file when it is flushed or closed: later than they may
// have reached the file, which only widens what a crash may lose. Changes of
// owner are not logged: the recorded runs are root's, on root's files.
#undef _FILE_OFFSET_BITS
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// Recursive: a stream of the updater's own (fopencookie) writes with write().
static pthread_mutex_t g_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
static int g_log = -1, g_data = -1;
static long g_seq, g_data_end;

// Whether `path` relative to `dirfd` ("": `dirfd` itself) lies in the scope;
// its absolute path in `abs` (PATH_MAX bytes).
static int Resolve(int dirfd, const char* path, char* abs) {
  const char* scope = getenv("UPDATER_RECORD_SCOPE");
  char link[64], base[PATH_MAX];
  ssize_t n = 0;
  if (!scope || !*scope || !getenv("UPDATER_RECORD")) return 0;
  if (path[0] != '/') {
    snprintf(link, sizeof(link), dirfd == AT_FDCWD ? "/proc/self/cwd" : "/proc/self/fd/%d", dirfd);
    if ((n = readlink(link, base, sizeof(base) - 1)) <= 0 || base[0] != '/') return 0;
  }
  base[n] = '\0';
  if (snprintf(abs, PATH_MAX, "%s%s%s", base, n && *path ? "/" : "", path) >= PATH_MAX) return 0;
  size_t len = strlen(scope);
  return !strncmp(abs, scope, len) && (abs[len] == '/' || abs[len] == '\0');
}

// Appends a line (and `len` bytes of `data`) with raw system calls and
// dprintf, which the wrappers never see.
static void Log(const char* op, unsigned long ino, long long a, const char* b, const char* path,
                const char* path2, const void* data, long len) {
  if (g_log < 0) {
    char name[PATH_MAX];
    snprintf(name, sizeof(name), "%s.data", getenv("UPDATER_RECORD"));
    g_log = (int)syscall(SYS_openat, AT_FDCWD, getenv("UPDATER_RECORD"),
                         O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    g_data =
        (int)syscall(SYS_openat, AT_FDCWD, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  }
  char at[32] = "";
  if (data) snprintf(at, sizeof(at), " %ld", g_data_end);
  for (long done = 0, n = 1; data && done < len && n > 0; done += n)
    n = syscall(SYS_write, g_data, (const char*)data + done, len - done);
  g_data_end += data ? len : 0;
  dprintf(g_log, "%ld %s %lu %lld %s%s%s%s%s%s\n", ++g_seq, op, ino, a, b, at, path ? " " : "",
          path ? path : "", path2 ? "\t" : "", path2 ? path2 : "");
}

static int FdInScope(int fd, struct stat* st) {
  char abs[PATH_MAX];
  return fd >= 0 && Resolve(fd, "", abs) && fstat(fd, st) == 0;
}

// Logs the bytes [off, off + len) of the file at `fd`, read through a
// descriptor of its own (`fd` may be open for writing only).
static void LogWritten(int fd, off_t off, long len) {
  struct stat st;
  char self[64], n[24];
  if (len <= 0 || !FdInScope(fd, &st)) return;
  char* buf = malloc((size_t)len);
  snprintf(self, sizeof(self), "/proc/self/fd/%d", fd);
  int in = (int)syscall(SYS_openat, AT_FDCWD, self, O_RDONLY | O_CLOEXEC);
  snprintf(n, sizeof(n), "%ld", len);
  if (buf && in >= 0 && pread(in, buf, (size_t)len, off) == len)
    Log("write", st.st_ino, (long long)off, n, NULL, NULL, buf, len);
  if (in >= 0) syscall(SYS_close, in);
  free(buf);
}

// Logs a call on an open file.
static void LogFd(const char* op, int fd) {
  struct stat st;
  char mode[16];
  if (!FdInScope(fd, &st)) return;
  snprintf(mode, sizeof(mode), "%o", st.st_mode & 07777);
  if (!strcmp(op, "fsync") && S_ISDIR(st.st_mode)) op = "fsyncdir";
  Log(op, st.st_ino, strcmp(op, "size") ? 0 : st.st_size, strcmp(op, "chmod") ? "0" : mode, NULL,
      NULL, NULL, 0);
}

// Logs a call that makes or removes the name `path` below `d` (and `path2`).
static void LogNamed(const char* op, int d, const char* path, int d2, const char* path2,
                     const char* target) {
  char abs[PATH_MAX], abs2[PATH_MAX], mode[16];
  struct stat st = {0};
  if (!Resolve(d, path, abs) && !(path2 && Resolve(d2, path2, abs2))) return;
  if (path2) Resolve(d2, path2, abs2);
  if (strcmp(op, "unlink") && strcmp(op, "rmdir") && !path2)
    fstatat(d, path, &st, AT_SYMLINK_NOFOLLOW);
  snprintf(mode, sizeof(mode), "%o", st.st_mode & 07777);
  Log(op, st.st_ino, 0, target ? target : mode, abs, path2 ? abs2 : NULL, NULL, 0);
}

// `name` runs `call` and, when it succeeds, `record`, both under the lock.
#define WRAP(type, name, params, call, record)                    \
  type name params {                                              \
    static __typeof__(name)* real;                                \
    if (!real) real = (__typeof__(name)*)dlsym(RTLD_NEXT, #name); \
    pthread_mutex_lock(&g_lock);                                  \
    type rv = call;                                               \
    int saved = errno;                                            \
    if (rv >= 0) record;                                          \
    pthread_mutex_unlock(&g_lock);                                \
    errno = saved;                                                \
    return rv;                                                    \
  }
#define CWD AT_FDCWD
WRAP(int, mkdir, (const char* p, mode_t m), real(p, m), LogNamed("mkdir", CWD, p, 0, NULL, NULL))
WRAP(int, mkdirat, (int d, const char* p, mode_t m), real(d, p, m),
     LogNamed("mkdir", d, p, 0, NULL, NULL))
WRAP(int, symlinkat, (const char* t, int d, const char* p), real(t, d, p),
     LogNamed("symlink", d, p, 0, NULL, t))
WRAP(int, rename, (const char* a, const char* b), real(a, b),
     LogNamed("rename", CWD, a, CWD, b, "0"))
WRAP(int, renameat, (int d, const char* a, int d2, const char* b), real(d, a, d2, b),
     LogNamed("rename", d, a, d2, b, "0"))
WRAP(int, unlink, (const char* p), real(p), LogNamed("unlink", CWD, p, 0, NULL, "0"))
WRAP(int, rmdir, (const char* p), real(p), LogNamed("rmdir", CWD, p, 0, NULL, "0"))
WRAP(int, unlinkat, (int d, const char* p, int f), real(d, p, f),
     LogNamed(f& AT_REMOVEDIR ? "rmdir" : "unlink", d, p, 0, NULL, "0"))
WRAP(int, fchmodat, (int d, const char* p, mode_t m, int f), real(d, p, m, f),
     LogNamed("chmod", d, p, 0, NULL, NULL))
WRAP(int, fchmod, (int fd, mode_t m), real(fd, m), LogFd("chmod", fd))
WRAP(int, fsync, (int fd), real(fd), LogFd("fsync", fd))
WRAP(int, fdatasync, (int fd), real(fd), LogFd("fsync", fd))
WRAP(int, syncfs, (int fd), real(fd), LogFd("syncfs", fd))
WRAP(int, ftruncate64, (int fd, off64_t n), real(fd, n), LogFd("size", fd))
WRAP(int, posix_fallocate64, (int fd, off64_t o, off64_t n), real(fd, o, n), LogFd("size", fd))
WRAP(ssize_t, write, (int fd, const void* b, size_t n), real(fd, b, n),
     LogWritten(fd, lseek(fd, 0, SEEK_CUR) - rv, rv))
WRAP(ssize_t, pwrite64, (int fd, const void* b, size_t n, off64_t o), real(fd, b, n, o),
     LogWritten(fd, o, rv))
WRAP(ssize_t, copy_file_range, (int in, off64_t* oi, int out, off64_t* oo, size_t n, unsigned f),
     real(in, oi, out, oo, n, f), LogWritten(out, (oo ? *oo : lseek(out, 0, SEEK_CUR)) - rv, rv))

// A stream's whole file, once its buffer has gone to the file.
static void LogStream(FILE* fp) {
  struct stat st;
  if (fp && (fcntl(fileno(fp), F_GETFL) & O_ACCMODE) != O_RDONLY && FdInScope(fileno(fp), &st))
    LogWritten(fileno(fp), 0, st.st_size);
}
WRAP(int, fflush, (FILE * fp), real(fp), LogStream(fp))
WRAP(int, fclose, (FILE * fp), (fflush(fp), real(fp)), (void)0)

// Opens: a new file is a creation, an existing one truncated a change of size.
static int OpenAt(int d, const char* path, int flags, mode_t mode) {
  static __typeof__(openat64)* real;
  if (!real) real = (__typeof__(openat64)*)dlsym(RTLD_NEXT, "openat64");
  char abs[PATH_MAX], m[16];
  struct stat st;
  if (!(flags & (O_CREAT | O_TRUNC)) || !Resolve(d, path, abs)) return real(d, path, flags, mode);
  pthread_mutex_lock(&g_lock);
  int existed = fstatat(d, path, &st, AT_SYMLINK_NOFOLLOW) == 0;
  int fd = real(d, path, flags, mode), saved = errno;
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    snprintf(m, sizeof(m), "%o", st.st_mode & 07777);
    if (!existed) Log("create", st.st_ino, 0, m, abs, NULL, NULL, 0);
    if (existed && (flags & O_TRUNC)) Log("size", st.st_ino, 0, "0", NULL, NULL, NULL, 0);
  }
  pthread_mutex_unlock(&g_lock);
  errno = saved;
  return fd;
}
#define WRAP_OPEN(name, params, dir)                                     \
  int name params {                                                      \
    va_list ap;                                                          \
    va_start(ap, flags);                                                 \
    mode_t mode = flags & (O_CREAT | __O_TMPFILE) ? va_arg(ap, int) : 0; \
    va_end(ap);                                                          \
    return OpenAt(dir, path, flags, mode);                               \
  }
WRAP_OPEN(open64, (const char* path, int flags, ...), AT_FDCWD)
WRAP_OPEN(openat64, (int d, const char* path, int flags, ...), d)
