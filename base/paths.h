// The size of every path buffer the program formats into.
#ifndef UPDATER_BASE_PATHS_H_
#define UPDATER_BASE_PATHS_H_

#include <cstddef>

// A formatted path that does not fit (1023 bytes and the NUL) is refused by
// its caller rather than cut.
constexpr size_t kMaxPath = 1024;

// The largest manifest a run reads, decoded: the complete manifest of a large
// application is well under 1 MiB. A larger one is refused (code 5) before
// more than this is decoded or held in memory.
constexpr size_t kMaxManifestSize = size_t{16} << 20;

// The installation's record of its version, one line at its top level: the
// updates make-update builds install it, the updater reads it to refuse a
// downgrade.
constexpr char kInstalledVersionFile[] = "product-version";

#endif  // UPDATER_BASE_PATHS_H_
