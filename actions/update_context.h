// What an update's actions work with. Whoever runs them (the updater's run,
// or its check) fills one in and hands it to the ActionList; no action reads
// a setting of the run from anywhere else.
#ifndef UPDATER_ACTIONS_UPDATE_CONTEXT_H_
#define UPDATER_ACTIONS_UPDATE_CONTEXT_H_

#include <fcntl.h>

#include <atomic>
#include <cstdint>

class ArchiveReader;
class CheckReport;
class Progress;
class RunBackups;

struct UpdateContext {
  // The directory every path of the manifest resolves beneath.
  int install_dir = AT_FDCWD;
  // The run's work directory ("updating"), where actions keep their
  // temporary files; -1 when there is none (a check).
  int work_dir = -1;
  // The update archive, open; the actions extract their entries from it.
  ArchiveReader* archive = nullptr;
  // The run's backups and its journal; the list's own when not set.
  RunBackups* backups = nullptr;
  // An OS update has no precomplete file to remove.
  bool is_os_update = false;
  // Set (by a signal handler) when the run is to stop: the actions stop
  // before the next one. Null: never.
  const std::atomic<bool>* stop_requested = nullptr;
  // Where the phases publish their progress; null: nowhere.
  Progress* progress = nullptr;
  // Set for a check: the actions make their read-only checks alone and say
  // what they would do here; nothing is staged, executed or finished.
  CheckReport* report = nullptr;
  // The number of the next temporary patch file, in prepare order.
  int32_t next_patch_index = 0;
};

#endif  // UPDATER_ACTIONS_UPDATE_CONTEXT_H_
