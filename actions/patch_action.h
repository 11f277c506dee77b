// The patch actions: replace an installed file by the result of applying a
// binary patch carried as an entry of the update archive, always (patch) or
// only when a test file exists when the action is prepared (patch-if).
//
// Check refuses a missing entry, a file to patch that will be missing or is
// no regular file, and a directory that cannot be written; a check of the
// update also decodes the patch and judges it and the file to patch as Stage
// does. Stage extracts the patch to a new temporary file "N.patch" (N from
// the context's next_patch_index, in prepare order) of the run's work
// directory, made and read only through its descriptor (Action::work_dir),
// and checks its header and control block (read_patch_header) and the
// installed file's size and CRC (a file an earlier action writes is checked
// only by Execute). Execute checks them again before changing anything, then
// moves the file to its backup and writes the patched file with the old
// file's permission bits. Finish deletes the backup (status 0) or restores
// it.
#ifndef UPDATER_ACTIONS_PATCH_ACTION_H_
#define UPDATER_ACTIONS_PATCH_ACTION_H_

#include <cstdint>
#include <cstdio>
#include <memory>

#include "actions/action.h"
#include "actions/conditional_action.h"
#include "actions/planned_tree.h"
#include "fileops/fileops.h"
#include "fileops/run_backup.h"
#include "patch/patch_format.h"

// patch "entry" "target".
class PatchAction : public Action {
 public:
  PatchAction() = default;
  // Removes the temporary patch file if this action still owns one.
  ~PatchAction() override;

  // 0, or 5 when the entry name, the separator or a valid target path is
  // missing (the target must follow the path rules; the entry name is only an
  // archive entry name and is not checked).
  int Parse(char* line) override;
  // 6 for a missing entry or file to patch (also one an earlier addlink
  // makes), 42 for a file to patch that is no regular file, 7 for a
  // directory that cannot be written. In a check
  // also the codes of Stage.
  int Check() override;
  // Takes the next patch index and extracts the entry into the temporary
  // file, which this action owns from then on. 0; 7 when that file cannot be
  // created (also when the name is taken) or closed; the code of
  // ArchiveReader::ExtractToStream; 6/41 (read_patch_header); 42 or 4 when
  // the installed file's size or CRC differs from the header's.
  int Stage() override;
  uint64_t PrepareWork() override;
  // 0 on success. Before the installed file is touched: 6 (temporary file or
  // target unreadable), 6/41 (read_patch_header), and the codes of
  // LoadSourceFile. Afterwards: the code of backup_create, 7 (new file cannot
  // be created with the old mode, or cannot be written in full), and the codes
  // of apply_patch (6, 7, 12, 41). The temporary file is removed and the
  // source buffer freed once apply_patch has run, whatever its result.
  int Execute() override;
  // Logs "FINISH PATCH"; deletes the backup when `status` is 0, else restores it.
  void Finish(int status) override;
  // The patch entry, taken in Stage, readable by the run alone.
  EarlyEntry GetEarlyEntry() override;
  Change GetChange(const char** path) const override {
    *path = target_path;
    return Change::kWrite;
  }

  // Loads the whole file to patch from `fp` into source_data and checks its
  // size and CRC against `header`. 0; 6 (size unavailable or short read); 42
  // (size differs, nothing read); 13 (no memory); 4 (CRC differs).
  int LoadSourceFile(FILE* fp);

  // Name of the archive entry holding the patch; points into the manifest text.
  char* entry_name = nullptr;
  // Validated relative path of the file to patch; points into the manifest text.
  char* target_path = nullptr;
  int32_t patch_index = -1;
  // The manifest keyword, for a check's report.
  virtual const char* Keyword() const { return "patch"; }
  // Host byte order; filled by Execute.
  PatchHeader header = {};
  // The whole file to patch while Execute needs it.
  std::unique_ptr<unsigned char[]> source_data;
  // The name of the temporary patch file this action owns in the work
  // directory; empty when it owns none.
  char patch_path[32] = "";

 private:
  // Refuses a file to patch on disk whose size or CRC is not the header's:
  // 0, 6, 42 or 4.
  int CheckSource();
  // The file to patch as Check found it; `planned` when an earlier action
  // writes it.
  PlannedTree::Node source_;
  RunBackup backup_;
};

// patch-if "test" "entry" "target": patches only while the test file exists.
class PatchIfAction : public ConditionalAction<PatchAction> {
 public:
  PatchIfAction() : ConditionalAction(true) {}
  const char* Keyword() const override { return "patch-if"; }
};

#endif  // UPDATER_ACTIONS_PATCH_ACTION_H_
