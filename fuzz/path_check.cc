#include "fuzz/path_check.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "actions/add_action.h"
#include "actions/patch_action.h"
#include "actions/remove_action.h"

namespace fuzz_check {
namespace {

// A conditional action's test path is cleared only in Prepare, so after
// parsing every path is set.
void CheckPath(const char* what, const char* path) {
  if (!path) {
    fprintf(stderr, "%s: parsed action without a path\n", what);
    abort();
  }
  if (path[0] == '/' || strstr(path, "..")) {
    fprintf(stderr, "%s: path breaks the rules: %s\n", what, path);
    abort();
  }
}

}  // namespace

void CheckActionPaths(const ActionList& list) {
  int count = 0;
  for (const Action* a = list.first(); a; a = a->next, ++count) {
    if (auto* c = dynamic_cast<const ConditionalAddAction*>(a)) CheckPath("add-if", c->test_path);
    if (auto* add = dynamic_cast<const AddAction*>(a)) {
      CheckPath("add", add->path);
    } else if (auto* rm = dynamic_cast<const RemoveAction*>(a)) {
      CheckPath("remove", rm->path);
    } else if (auto* rd = dynamic_cast<const RmdirAction*>(a)) {
      CheckPath("rmdir", rd->dir);
    } else if (auto* p = dynamic_cast<const PatchAction*>(a)) {
      if (auto* pi = dynamic_cast<const PatchIfAction*>(a)) CheckPath("patch-if", pi->test_path);
      if (!p->entry_name) abort();
      CheckPath("patch", p->target_path);
    } else {
      abort();
    }
  }
  if (count != list.count()) abort();
}

}  // namespace fuzz_check
