// The path rules as a property: every path an action holds is relative and
// contains no "..". Aborts (a fuzzer finding) on the first that breaks them.
#ifndef UPDATER_FUZZ_PATH_CHECK_H_
#define UPDATER_FUZZ_PATH_CHECK_H_

#include "actions/action.h"

namespace fuzz_check {

void CheckActionPaths(const ActionList& list);

}  // namespace fuzz_check

#endif  // UPDATER_FUZZ_PATH_CHECK_H_
