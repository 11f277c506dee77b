// What a check of an update found: what each action would do, and the
// problems the run would meet, each in the phase where it meets it.
#ifndef UPDATER_ACTIONS_CHECK_REPORT_H_
#define UPDATER_ACTIONS_CHECK_REPORT_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "patch/patch_format.h"

class ArchiveReader;

// An archive entry as decoding it whole found it.
struct DecodedEntry {
  // 0, or the code the extraction of the entry fails with.
  int error = 0;
  uint64_t size = 0;
  uint32_t crc = 0;  // CRC-32/BZIP2 of the whole entry
  // Read as a patch: 0 when its header and control block pass (validate_patch_header,
  // PatchControlWalk), else the code read_patch_header gives.
  int patch_error = 0;
  PatchHeader header = {};
};

class CheckReport {
 public:
  struct Planned {
    std::string action, path, outcome;
  };
  struct Warning {
    std::string path, message;
  };
  struct Problem {
    int code;
    bool in_prepare;
    std::string path, message;
  };

  void Plan(const std::string& action, const std::string& path, const std::string& outcome) {
    planned.push_back({action, path, outcome});
  }
  // Returns `code`.
  int Fail(int code, bool in_prepare, const std::string& path, const std::string& message) {
    problems.push_back({code, in_prepare, path, message});
    return code;
  }
  // Something the run does that the owner may not expect; not a failure.
  void Warn(const std::string& path, const std::string& message) {
    warnings.push_back({path, message});
  }
  // A file of `bytes` the update writes (the space estimate).
  void Writes(uint64_t bytes) { written.push_back(bytes); }
  // The code the run ends with: the first problem met while preparing (which
  // stops the run before anything changes), else the first met while
  // executing, else 0.
  int Result() const;
  // The entry `name` of `archive`, decoded (once) and discarded.
  const DecodedEntry& Entry(ArchiveReader* archive, const std::string& name);

  std::vector<Planned> planned;
  std::vector<Warning> warnings;
  std::vector<Problem> problems;
  std::vector<uint64_t> written;
  std::map<std::string, DecodedEntry> entries;
  uint64_t decoded_bytes = 0;
};

#endif  // UPDATER_ACTIONS_CHECK_REPORT_H_
