#include "actions/precomplete.h"

#include <errno.h>
#include <sys/stat.h>

#include "actions/manifest.h"
#include "base/error_codes.h"
#include "base/update_log.h"
#include "fileops/beneath.h"

std::unique_ptr<char[]> ReadPreComplete(int root, const char* at, int* error) {
  *error = kOk;
  struct stat st;
  if (at[0] == '\0' || (stat_beneath(root, at, &st, false) != 0 && errno == ENOENT)) {
    LOG("AddPreCompleteActions: warning: %s", kNoPrecompleteWarning);
    return nullptr;
  }
  std::unique_ptr<char[]> text = GetManifestContents(root, at, error);
  if (!text && *error != kFileNoMemory) {
    LOG("AddPreCompleteActions: error getting contents of precomplete manifest");
    *error = kReadError;
  }
  return text;
}
