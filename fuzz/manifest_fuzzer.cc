// Parses the input as a manifest into actions, keyword by keyword as the update
// run does (the "type" line with the precomplete file, "rmrfdir" expanded over
// a small tree), and checks that every path that reached an action obeys the
// path rules: relative and free of "..".
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "actions/action.h"
#include "actions/add_action.h"
#include "actions/manifest.h"
#include "actions/remove_action.h"
#include "fuzz/fuzz_util.h"
#include "fuzz/path_check.h"
#include "patch/patch_action.h"

namespace {

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

// The line loop of the update run.
int ParseLines(char* text, ActionList* list) {
  bool first_line = true;
  char* cursor = text;
  while (char* line = next_token(kLineDelimiters, &cursor)) {
    if (line[0] == '#') continue;
    char* keyword = next_token(kWordDelimiters, &line);
    if (!keyword) return 5;
    int rv = 0;
    if (first_line && !strcmp(keyword, "type")) {
      const char* type = next_token(kQuoteDelimiter, &line);
      if (type && !strcmp(type, "complete")) rv = AddPreCompleteActions(list);
    } else if (!strcmp(keyword, "rmrfdir")) {
      char* dir = next_token(kQuoteDelimiter, &line);
      if (!dir || dir[strlen(dir) - 1] != '/') return 5;
      rv = add_dir_entries(dir, list);
    } else if (std::unique_ptr<Action> action = NewAction(keyword)) {
      rv = action->Parse(line);
      if (rv == 0) list->Append(std::move(action));
    } else {
      return 5;
    }
    if (rv != 0) return rv;
    first_line = false;
  }
  return 0;
}

// A tree for rmrfdir to walk (with a link it must not follow) and a
// precomplete file for the "type" line.
void MakeSandbox() {
  fuzz_util::ScratchDir();
  mkdir("d", 0755);
  mkdir("d/s", 0755);
  mkdir("d/s/t", 0755);
  static const uint8_t kFile[] = "x";
  fuzz_util::WriteScratchFile("d/f", kFile, 1);
  fuzz_util::WriteScratchFile("d/s/g", kFile, 1);
  symlink("/", "d/s/root-link");
  static const char kPrecomplete[] =
      "remove \"precomplete\"\nremove-cc \"x\"\nrmdir \"d/s/t/\"\n# comment\nremove \"d/f\"\n";
  fuzz_util::WriteScratchFile("precomplete", reinterpret_cast<const uint8_t*>(kPrecomplete),
                              sizeof(kPrecomplete) - 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool sandbox = (MakeSandbox(), true);
  (void)sandbox;
  std::unique_ptr<char[]> text = fuzz_util::CopyToText(data, size);
  ActionList list;
  int rv = ParseLines(text.get(), &list);
  if (rv != 0 && rv != 5 && rv != 14 && rv != 42) abort();
  fuzz_check::CheckActionPaths(list);
  return 0;
}
