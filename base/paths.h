// The size of every path buffer the program formats into.
#ifndef UPDATER_BASE_PATHS_H_
#define UPDATER_BASE_PATHS_H_

#include <cstddef>

// A formatted path that does not fit (1023 bytes and the NUL) is refused by
// its caller rather than cut.
constexpr size_t kMaxPath = 1024;

// The installation's record of its version, one line at its top level: the
// updates make-update builds install it, the updater reads it to refuse a
// downgrade.
constexpr char kInstalledVersionFile[] = "product-version";

#endif  // UPDATER_BASE_PATHS_H_
