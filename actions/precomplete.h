// The installation's "precomplete" file: what a complete update removes first.
#ifndef UPDATER_ACTIONS_PRECOMPLETE_H_
#define UPDATER_ACTIONS_PRECOMPLETE_H_

#include "actions/action.h"

// Appends the removals of the "precomplete" file in the working directory
// (keywords remove, rmdir; remove-cc lines are ignored). Does nothing for an OS
// update or when there is no such file. The list keeps the text alive.
// Returns 0; 6 when the file exists but cannot be read; 5 for a line without
// keyword, an unknown keyword or a bad path.
int AddPreCompleteActions(ActionList* list);

#endif  // UPDATER_ACTIONS_PRECOMPLETE_H_
