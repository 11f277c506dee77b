#include "actions/precomplete.h"

#include <errno.h>
#include <sys/stat.h>

#include <memory>
#include <utility>

#include "actions/manifest.h"
#include "actions/manifest_parser.h"
#include "base/error_codes.h"
#include "base/run_settings.h"
#include "base/update_log.h"
#include "fileops/beneath.h"

int AddPreCompleteActions(ActionList* list) {
  if (isOsUpdate) return kOk;
  // Only a missing file means there is nothing to remove, as on a first
  // complete update: no error. One that exists but cannot be read would let a
  // complete update report success while leaving every file it lists behind.
  struct stat st;
  if (stat_beneath("precomplete", &st, false) != 0 && errno == ENOENT) {
    LOG("AddPreCompleteActions: no precomplete file, nothing to remove");
    return kOk;
  }
  int error;
  std::unique_ptr<char[]> owned = GetManifestContents("precomplete", &error);
  if (!owned) {
    if (error == kFileNoMemory) return error;
    LOG("AddPreCompleteActions: error getting contents of precomplete manifest");
    return kReadError;
  }
  // The actions point into the text from the moment they are appended.
  char* text = owned.get();
  list->AdoptText(std::move(owned));
  return ParseActionLines(text, ManifestSource::kPrecomplete, list);
}
