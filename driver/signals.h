// SIGTERM, SIGINT and SIGHUP end a run through its ordinary rollback: their
// handler only sets stopRequested, and the worker stops before its next
// action. A relaunched callback gets the default handling back with execv.
#ifndef UPDATER_DRIVER_SIGNALS_H_
#define UPDATER_DRIVER_SIGNALS_H_

void CatchStopSignals();

#endif  // UPDATER_DRIVER_SIGNALS_H_
