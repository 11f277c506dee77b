#include "actions/add_action.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "actions/manifest.h"
#include "archive/archive_reader.h"
#include "driver/update_log.h"
#include "fileops/fileops.h"

int AddAction::Parse(char* line) {
  path = get_valid_path(&line, false);
  return path ? kOk : kParseError;
}

int AddAction::Prepare() {
  LOG("PREPARE ADD %s", path);
  return kOk;
}

int AddAction::Execute() {
  LOG("EXECUTE ADD %s", path);
  // lstat, not access: a dangling link must be moved aside too, or the
  // extraction would create its target wherever it points.
  struct stat st;
  int rv = lstat(path, &st) == 0 ? backup_create(path) : ensure_parent_dir(path);
  if (rv != kOk) return rv;
  added = true;
  return gArchiveReader.ExtractToFile(path, path);
}

void AddAction::Finish(int status) {
  LOG("FINISH ADD %s", path);
  if (status == 0) {
    backup_delete(path);
    return;
  }
  if (added) remove(path);
  backup_restore(path);
}

int ConditionalAddAction::Parse(char* line) {
  test_path = get_valid_path(&line, false);
  if (!test_path) return kParseError;
  if (!next_token(kQuoteDelimiter, &line)) return kParseError;
  return AddAction::Parse(line);
}

int ConditionalAddAction::Prepare() {
  bool present = access(test_path, F_OK) == 0;
  if (present != add_if_present_) {
    test_path = nullptr;
    return kOk;
  }
  return AddAction::Prepare();
}

int ConditionalAddAction::Execute() { return test_path ? AddAction::Execute() : kOk; }

void ConditionalAddAction::Finish(int status) {
  if (test_path) AddAction::Finish(status);
}
