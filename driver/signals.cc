#include "driver/signals.h"

#include <signal.h>

#include <initializer_list>

namespace {

// The driver's one process-wide variable: a signal handler may touch nothing
// but a lock-free atomic of static storage, so the flag it sets cannot live in
// the run, which reads it through StopFlag().
std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the handler needs a lock-free flag");

void OnStopSignal(int) { stopRequested.store(true); }

}  // namespace

void CatchStopSignals() {
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  // Interrupted file operations resume instead of failing with EINTR.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    // One that the caller ignores (nohup) stays ignored.
    struct sigaction old = {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
      sigaction(sig, &action, nullptr);
    }
  }
}

const std::atomic<bool>* StopFlag() { return &stopRequested; }

void RestoreSignalsForExec() {
  signal(SIGPIPE, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}
