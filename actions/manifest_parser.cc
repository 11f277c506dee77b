#include "actions/manifest_parser.h"

#include <cstring>
#include <memory>
#include <utility>

#include "actions/add_action.h"
#include "actions/manifest.h"
#include "actions/patch_action.h"
#include "actions/precomplete.h"
#include "actions/remove_action.h"
#include "actions/rmrfdir.h"
#include "base/error_codes.h"
#include "base/update_log.h"

namespace {

template <typename T>
std::unique_ptr<Action> Make() {
  return std::make_unique<T>();
}

struct Keyword {
  const char* name;
  std::unique_ptr<Action> (*make)();
  bool in_precomplete;
};

constexpr Keyword kKeywords[] = {
    {"remove", Make<RemoveAction>, true},     {"rmdir", Make<RmdirAction>, true},
    {"add", Make<AddAction>, false},          {"patch", Make<PatchAction>, false},
    {"add-if", Make<AddIfAction>, false},     {"add-if-not", Make<AddIfNotAction>, false},
    {"patch-if", Make<PatchIfAction>, false},
};

}  // namespace

std::unique_ptr<Action> NewAction(const char* keyword, ManifestSource source) {
  for (const Keyword& k : kKeywords) {
    if (strcmp(keyword, k.name) != 0) continue;
    if (source == ManifestSource::kPrecomplete && !k.in_precomplete) return nullptr;
    return k.make();
  }
  return nullptr;
}

int ParseActionLines(char* text, ManifestSource source, ActionList* list) {
  const bool manifest = source == ManifestSource::kManifest;
  const char* who = manifest ? "DoUpdate" : "AddPreCompleteActions";
  bool firstLine = true;
  char* cursor = text;
  while (char* line = next_token(kLineDelimiters, &cursor)) {
    if (line[0] == '#') continue;
    char* keyword = next_token(kWordDelimiters, &line);
    if (!keyword) {
      LOG("%s: token not found in manifest", who);
      return kParseError;
    }
    int rv = 0;
    if (manifest && firstLine && !strcmp(keyword, "type")) {
      const char* type = next_token(kQuoteDelimiter, &line);
      LOG("UPDATE TYPE %s", type ? type : "");
      if (type && !strcmp(type, "complete")) rv = AddPreCompleteActions(list);
    } else if (manifest && !strcmp(keyword, "rmrfdir")) {
      char* dir = next_token(kQuoteDelimiter, &line);
      if (!dir || dir[strlen(dir) - 1] != '/') return kParseError;
      rv = add_dir_entries(dir, list);
    } else if (!manifest && !strcmp(keyword, "remove-cc")) {
      continue;
    } else if (std::unique_ptr<Action> action = NewAction(keyword, source)) {
      rv = action->Parse(line);
      if (rv == 0) list->Append(std::move(action));
    } else {
      LOG("%s: unknown token: %s", who, keyword);
      return kParseError;
    }
    if (rv != 0) return rv;
    firstLine = false;
  }
  return kOk;
}

int ParseManifest(char* text, ActionList* list) {
  return ParseActionLines(text, ManifestSource::kManifest, list);
}
