// Plumbing shared by the fuzz targets: a private scratch directory for their
// files, and the path rules as a property of parsed actions.
#ifndef UPDATER_FUZZ_FUZZ_UTIL_H_
#define UPDATER_FUZZ_FUZZ_UTIL_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "actions/action.h"

namespace fuzz_util {

// Writes `data` to `name` (relative) in the scratch directory and returns its
// path. The directory is made once per process, preferably in /dev/shm, and
// becomes the working directory, so that relative paths the code under test
// opens stay inside it. Aborts when any of this fails: a fuzzer that ran
// elsewhere could touch real files.
std::string WriteScratchFile(const char* name, const uint8_t* data, size_t size);

// Aborts (a finding) unless every path that reached an action of `list` is
// relative and free of "..".
void CheckActionPaths(const ActionList& list);

}  // namespace fuzz_util

#endif  // UPDATER_FUZZ_FUZZ_UTIL_H_
