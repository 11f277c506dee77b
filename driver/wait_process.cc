#include "driver/wait_process.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "base/update_log.h"

namespace {

// Without pidfd_open (kernels before 5.3): whether the id still names a
// process. A zombie still does, until its parent collects it.
bool Alive(int pid) { return kill(pid, 0) == 0 || errno == EPERM; }

}  // namespace

void WaitForProcess(int pid) {
  LOG("Waiting for process %d to end", pid);
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
