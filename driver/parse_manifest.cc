#include "driver/parse_manifest.h"

#include <cstring>
#include <memory>
#include <utility>

#include "actions/add_action.h"
#include "actions/manifest.h"
#include "actions/remove_action.h"
#include "driver/update_log.h"
#include "fileops/fileops.h"
#include "patch/patch_action.h"

namespace {

// The action class a manifest keyword names, or null for any other keyword.
std::unique_ptr<Action> NewAction(const char* keyword) {
  if (!strcmp(keyword, "remove")) return std::make_unique<RemoveAction>();
  if (!strcmp(keyword, "rmdir")) return std::make_unique<RmdirAction>();
  if (!strcmp(keyword, "add")) return std::make_unique<AddAction>();
  if (!strcmp(keyword, "patch")) return std::make_unique<PatchAction>();
  if (!strcmp(keyword, "add-if")) return std::make_unique<AddIfAction>();
  if (!strcmp(keyword, "add-if-not")) return std::make_unique<AddIfNotAction>();
  if (!strcmp(keyword, "patch-if")) return std::make_unique<PatchIfAction>();
  return nullptr;
}

}  // namespace

int ParseManifest(char* text, ActionList* list) {
  bool firstLine = true;
  char* cursor = text;
  while (char* line = next_token(kLineDelimiters, &cursor)) {
    if (line[0] == '#') continue;
    char* keyword = next_token(kWordDelimiters, &line);
    if (!keyword) {
      LOG("DoUpdate: token not found in manifest");
      return kParseError;
    }
    int rv = 0;
    if (firstLine && !strcmp(keyword, "type")) {
      const char* type = next_token(kQuoteDelimiter, &line);
      LOG("UPDATE TYPE %s", type ? type : "");
      if (type && !strcmp(type, "complete")) rv = AddPreCompleteActions(list);
    } else if (!strcmp(keyword, "rmrfdir")) {
      char* dir = next_token(kQuoteDelimiter, &line);
      if (!dir || dir[strlen(dir) - 1] != '/') return kParseError;
      rv = add_dir_entries(dir, list);
    } else if (std::unique_ptr<Action> action = NewAction(keyword)) {
      rv = action->Parse(line);
      if (rv == 0) list->Append(std::move(action));
    } else {
      LOG("DoUpdate: unknown token: %s", keyword);
      return kParseError;
    }
    if (rv != 0) return rv;
    firstLine = false;
  }
  return kOk;
}
