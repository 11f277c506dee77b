// SIGTERM, SIGINT and SIGHUP end a run through its ordinary rollback: they are
// blocked in every thread and taken by one thread of their own, which sets
// stopRequested; the worker stops before its next action.
#ifndef UPDATER_DRIVER_SIGNALS_H_
#define UPDATER_DRIVER_SIGNALS_H_

// Call before any other thread starts, so that all of them inherit the mask.
void BlockStopSignals();
// Before the callback replaces the process: it must get them as usual.
void UnblockStopSignals();

#endif  // UPDATER_DRIVER_SIGNALS_H_
