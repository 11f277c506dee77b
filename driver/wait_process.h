// Waiting for the application that started the updater to end.
#ifndef UPDATER_DRIVER_WAIT_PROCESS_H_
#define UPDATER_DRIVER_WAIT_PROCESS_H_

// Returns when the process `pid` has ended (at once when there is none),
// whoever its parent is: waitpid would wait only for a child of the updater.
// Logs one line before waiting.
void WaitForProcess(int pid);

#endif  // UPDATER_DRIVER_WAIT_PROCESS_H_
