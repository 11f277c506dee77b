#include "driver/wait_process.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "base/update_log.h"
#include "fileops/fileops.h"

namespace {

// Without pidfd_open (kernels before 5.3): whether the id still names a
// running process. A zombie has ended, though its id stays until its parent
// collects it (the parent may be waiting for the updater).
bool Alive(int pid) {
  if (kill(pid, 0) != 0 && errno != EPERM) return false;
  char path[32];
  snprintf(path, sizeof(path), "/proc/%d/stat", pid);
  ScopedFile file(fopen(path, "r"));
  char text[512];
  size_t n = file ? fread(text, 1, sizeof(text) - 1, file.get()) : 0;
  text[n] = '\0';
  // "pid (name) state ...": the name may hold anything, so the state follows the last ')'.
  const char* end = strrchr(text, ')');
  return !(end && end[1] == ' ' && end[2] == 'Z');
}

}  // namespace

void WaitForProcess(int pid) {
  LOG("Waiting for process %d to end", pid);
  // A caller that became the updater through exec would wait for itself.
  if (pid == getpid()) return;
#ifdef SYS_pidfd_open
  int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd >= 0) {
    // The descriptor becomes readable when the process ends.
    pollfd p = {fd, POLLIN, 0};
    while (poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
    close(fd);
    return;
  }
  if (errno == ESRCH) return;
#endif
  while (Alive(pid)) usleep(100000);
}
