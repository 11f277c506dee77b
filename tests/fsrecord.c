// Test-only recorder, loaded with LD_PRELOAD into the program under test: it
// logs every call that changes a file system below one directory, and every
// flush, in the order the calls took effect across all threads (each wrapped
// call and its record happen under one lock, with one sequence number).
//
// Environment: UPDATER_RECORD (the log: one line per call) and
// UPDATER_RECORD_SCOPE (an absolute directory). The bytes written go to
// "<log>.data"; a write line names their place there. Lines:
//   create INO 0 MODE PATH  a new regular file (open with O_CREAT)
//   mkdir INO 0 MODE PATH   symlink INO 0 TARGET PATH
//   rename 0 0 0 FROM\tTO   unlink 0 0 0 PATH      rmdir 0 0 0 PATH
//   chmod INO 0 MODE        size INO N 0 (O_TRUNC, ftruncate, fallocate)
//   write INO OFFSET LEN AT (LEN bytes at AT in the data file)
//   fsync INO 0 0           fsyncdir INO 0 0       syncfs INO 0 0
// INO is the inode of the file or directory in the recorded run. A stream's
// bytes (stdio writes them inside the C library) are recorded as one write of
// the whole file when it is flushed or closed: later than they may have
// reached the file, which only widens what a crash may lose. Changes of owner
// are not recorded (the runs recorded are root's, on root's files).
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

// Recursive: a stream of the program's own (fopencookie) writes through write().
static pthread_mutex_t g_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
static int g_log = -1, g_data = -1;
static long g_seq;
static off_t g_data_end;

#define REAL(name)               \
  static __typeof__(name)* real; \
  if (!real) real = (__typeof__(name)*)dlsym(RTLD_NEXT, #name)

// The absolute path of `path` relative to `dirfd` ("" names `dirfd` itself)
// in `abs` (PATH_MAX bytes); whether it lies below the recorded directory.
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

// Appends one line; `data` (`len` bytes) goes to the data file first. The
// log's own writes are raw system calls, never seen by the wrappers.
static void Log(const char* op, unsigned long ino, long long a, const char* b, const char* path,
                const char* path2, const void* data, size_t len) {
  if (g_log < 0) {
    char name[PATH_MAX];
    snprintf(name, sizeof(name), "%s.data", getenv("UPDATER_RECORD"));
    g_log = (int)syscall(SYS_openat, AT_FDCWD, getenv("UPDATER_RECORD"),
                         O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    g_data =
        (int)syscall(SYS_openat, AT_FDCWD, name, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    g_data_end = lseek(g_data, 0, SEEK_END);
  }
  char at[32] = "";
  if (data) {
    snprintf(at, sizeof(at), " %lld", (long long)g_data_end);
    for (size_t done = 0; done < len;) {
      long n = syscall(SYS_write, g_data, (const char*)data + done, len - done);
      if (n <= 0) break;
      done += (size_t)n;
    }
    g_data_end += (off_t)len;
  }
  dprintf(g_log, "%ld %s %lu %lld %s%s%s%s%s%s\n", ++g_seq, op, ino, a, b, at, path ? " " : "",
          path ? path : "", path2 ? "\t" : "", path2 ? path2 : "");
}

static int FdInScope(int fd, struct stat* st) {
  char abs[PATH_MAX];
  return fd >= 0 && Resolve(fd, "", abs) && fstat(fd, st) == 0;
}

// Records the bytes [off, off + len) of the file open at `fd` as written.
static void LogWritten(int fd, off_t off, long len) {
  struct stat st;
  if (len <= 0 || !FdInScope(fd, &st)) return;
  // Read through a descriptor of its own: `fd` may be open for writing only.
  char *buf = malloc((size_t)len), self[64];
  snprintf(self, sizeof(self), "/proc/self/fd/%d", fd);
  int in = (int)syscall(SYS_openat, AT_FDCWD, self, O_RDONLY | O_CLOEXEC);
  ssize_t got = buf && in >= 0 ? pread(in, buf, (size_t)len, off) : -1;
  if (in >= 0) syscall(SYS_close, in);
  char n[24];
  snprintf(n, sizeof(n), "%ld", len);
  if (got == len) Log("write", st.st_ino, (long long)off, n, NULL, NULL, buf, (size_t)len);
  free(buf);
}

#define LOCKED(type, call, record) \
  pthread_mutex_lock(&g_lock);     \
  type rv = call;                  \
  int saved = errno;               \
  if (rv >= 0) record;             \
  pthread_mutex_unlock(&g_lock);   \
  errno = saved;                   \
  return rv

// Opens: a new file is a creation, an existing one truncated a change of size.
static int OpenAt(int d, const char* path, int flags, mode_t mode,
                  int (*real)(int, const char*, int, ...)) {
  char abs[PATH_MAX];
  struct stat st;
  if (!(flags & (O_CREAT | O_TRUNC)) || !Resolve(d, path, abs)) return real(d, path, flags, mode);
  pthread_mutex_lock(&g_lock);
  int existed = fstatat(d, path, &st, AT_SYMLINK_NOFOLLOW) == 0;
  int fd = real(d, path, flags, mode), saved = errno;
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    char m[16];
    snprintf(m, sizeof(m), "%o", st.st_mode & 07777);
    if (!existed) Log("create", st.st_ino, 0, m, abs, NULL, NULL, 0);
    if (existed && (flags & O_TRUNC)) Log("size", st.st_ino, 0, "0", NULL, NULL, NULL, 0);
  }
  pthread_mutex_unlock(&g_lock);
  errno = saved;
  return fd;
}

#define WRAP_OPEN(name, params, dir, args)                                                         \
  int name params {                                                                                \
    REAL(openat64);                                                                                \
    va_list ap;                                                                                    \
    va_start(ap, flags);                                                                           \
    mode_t mode = (flags & O_CREAT) || (flags & __O_TMPFILE) == __O_TMPFILE ? va_arg(ap, int) : 0; \
    va_end(ap);                                                                                    \
    return OpenAt(dir, path, flags, mode, real);                                                   \
  }
WRAP_OPEN(open, (const char* path, int flags, ...), AT_FDCWD, (path, flags, mode))
WRAP_OPEN(open64, (const char* path, int flags, ...), AT_FDCWD, (path, flags, mode))
WRAP_OPEN(openat, (int d, const char* path, int flags, ...), d, (d, path, flags, mode))
WRAP_OPEN(openat64, (int d, const char* path, int flags, ...), d, (d, path, flags, mode))

// A call on a path below the directory `d` that makes or removes a name.
static void LogNamed(const char* op, int d, const char* path, const char* path2, int d2,
                     const char* target) {
  char abs[PATH_MAX], abs2[PATH_MAX];
  struct stat st = {0};
  int in = Resolve(d, path, abs), in2 = path2 && Resolve(d2, path2, abs2);
  if (!in && !in2) return;
  if (!path2 && strcmp(op, "unlink") && strcmp(op, "rmdir"))
    fstatat(d, path, &st, AT_SYMLINK_NOFOLLOW);
  char mode[PATH_MAX + 8];
  snprintf(mode, sizeof(mode), "%o", st.st_mode & 07777);
  Log(op, st.st_ino, 0, target ? target : mode, abs, path2 ? abs2 : NULL, NULL, 0);
}

#define NAMED(type, name, params, call, op, d, path, path2, d2, target) \
  type name params {                                                    \
    REAL(name);                                                         \
    LOCKED(type, call, LogNamed(op, d, path, path2, d2, target));       \
  }
NAMED(int, mkdir, (const char* p, mode_t m), real(p, m), "mkdir", AT_FDCWD, p, NULL, 0, NULL)
NAMED(int, mkdirat, (int d, const char* p, mode_t m), real(d, p, m), "mkdir", d, p, NULL, 0, NULL)
NAMED(int, symlinkat, (const char* t, int d, const char* p), real(t, d, p), "symlink", d, p, NULL,
      0, t)
NAMED(int, symlink, (const char* t, const char* p), real(t, p), "symlink", AT_FDCWD, p, NULL, 0, t)
NAMED(int, rename, (const char* a, const char* b), real(a, b), "rename", AT_FDCWD, a, b, AT_FDCWD,
      "0")
NAMED(int, renameat, (int d1, const char* a, int d2, const char* b), real(d1, a, d2, b), "rename",
      d1, a, b, d2, "0")
NAMED(int, unlink, (const char* p), real(p), "unlink", AT_FDCWD, p, NULL, 0, "0")
NAMED(int, rmdir, (const char* p), real(p), "rmdir", AT_FDCWD, p, NULL, 0, "0")
NAMED(int, unlinkat, (int d, const char* p, int f), real(d, p, f),
      f& AT_REMOVEDIR ? "rmdir" : "unlink", d, p, NULL, 0, "0")
NAMED(int, fchmodat, (int d, const char* p, mode_t m, int f), real(d, p, m, f), "chmod", d, p, NULL,
      0, NULL)
NAMED(int, chmod, (const char* p, mode_t m), real(p, m), "chmod", AT_FDCWD, p, NULL, 0, NULL)

// Calls on an open file.
static void LogFd(const char* op, int fd, long long a) {
  struct stat st;
  if (!FdInScope(fd, &st)) return;
  char mode[16];
  snprintf(mode, sizeof(mode), "%o", st.st_mode & 07777);
  if (!strcmp(op, "size")) a = st.st_size;
  if (!strcmp(op, "fsync") && S_ISDIR(st.st_mode)) op = "fsyncdir";
  Log(op, st.st_ino, a, strcmp(op, "chmod") ? "0" : mode, NULL, NULL, NULL, 0);
}

#define ON_FD(type, name, params, call, record) \
  type name params {                            \
    REAL(name);                                 \
    LOCKED(type, call, record);                 \
  }
ON_FD(int, fchmod, (int fd, mode_t m), real(fd, m), LogFd("chmod", fd, 0))
ON_FD(int, fsync, (int fd), real(fd), LogFd("fsync", fd, 0))
ON_FD(int, fdatasync, (int fd), real(fd), LogFd("fsync", fd, 0))
ON_FD(int, syncfs, (int fd), real(fd), LogFd("syncfs", fd, 0))
ON_FD(int, ftruncate, (int fd, off_t n), real(fd, n), LogFd("size", fd, 0))
ON_FD(int, ftruncate64, (int fd, off64_t n), real(fd, n), LogFd("size", fd, 0))
ON_FD(int, posix_fallocate64, (int fd, off64_t o, off64_t n), real(fd, o, n), LogFd("size", fd, 0))
ON_FD(ssize_t, write, (int fd, const void* b, size_t n), real(fd, b, n),
      LogWritten(fd, lseek(fd, 0, SEEK_CUR) - rv, rv))
ON_FD(ssize_t, pwrite64, (int fd, const void* b, size_t n, off64_t o), real(fd, b, n, o),
      LogWritten(fd, o, rv))
ON_FD(ssize_t, pwrite, (int fd, const void* b, size_t n, off_t o), real(fd, b, n, o),
      LogWritten(fd, o, rv))
ON_FD(ssize_t, copy_file_range, (int in, off64_t* oi, int out, off64_t* oo, size_t n, unsigned f),
      real(in, oi, out, oo, n, f), LogWritten(out, (oo ? *oo : lseek(out, 0, SEEK_CUR)) - rv, rv))

// A stream's whole file, once its buffer has gone to the file.
static void LogStream(FILE* fp) {
  struct stat st;
  if (fp && (fcntl(fileno(fp), F_GETFL) & O_ACCMODE) != O_RDONLY && FdInScope(fileno(fp), &st))
    LogWritten(fileno(fp), 0, st.st_size);
}
ON_FD(int, fflush, (FILE * fp), real(fp), LogStream(fp))

int fclose(FILE* fp) {
  static int (*flush)(FILE*), (*close_stream)(FILE*);
  if (!flush) flush = (int (*)(FILE*))dlsym(RTLD_NEXT, "fflush");
  if (!close_stream) close_stream = (int (*)(FILE*))dlsym(RTLD_NEXT, "fclose");
  pthread_mutex_lock(&g_lock);
  if (flush(fp) == 0) LogStream(fp);
  int rv = close_stream(fp), saved = errno;
  pthread_mutex_unlock(&g_lock);
  errno = saved;
  return rv;
}
