#include "driver/signals.h"

#include <pthread.h>
#include <signal.h>

#include <initializer_list>

#include "base/run_settings.h"

namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&set, sig);
  return set;
}

void* WaitForStopSignals(void*) {
  sigset_t set = StopSignals();
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) == 0) stopRequested.store(true);
  }
  return nullptr;
}

}  // namespace

void BlockStopSignals() {
  sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  pthread_t thread;
  if (pthread_create(&thread, nullptr, WaitForStopSignals, nullptr) == 0) {
    pthread_detach(thread);
  } else {
    // Without the thread a blocked signal would be lost: keep the default.
    UnblockStopSignals();
  }
}

void UnblockStopSignals() {
  sigset_t set = StopSignals();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}
