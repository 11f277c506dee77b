// SIGTERM, SIGINT and SIGHUP end a run through its ordinary rollback: their
// handler only sets the stop flag, and the worker stops before its next
// action. A relaunched callback gets the default handling back with execv
// (handled signals are reset by execv itself; see RestoreSignalsForExec).
#ifndef UPDATER_DRIVER_SIGNALS_H_
#define UPDATER_DRIVER_SIGNALS_H_

#include <atomic>

void CatchStopSignals();

// The flag the handler sets, for the run (Run::stopFlag) and its actions
// (UpdateContext::stop_requested). Valid for the life of the process.
const std::atomic<bool>* StopFlag();

// Before execv of the callback: SIGPIPE back to its default (GTK ignores it,
// and execv keeps what is ignored) and no signal blocked, so the callback
// starts as if its user had started it. Other signals the caller ignored stay
// ignored, as the caller meant.
void RestoreSignalsForExec();

#endif  // UPDATER_DRIVER_SIGNALS_H_
