#include "fuzz/fuzz_util.h"

#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "actions/add_action.h"
#include "actions/patch_action.h"
#include "actions/remove_action.h"

namespace fuzz_util {
namespace {

// Made at the first input and removed at exit: the harness hands its entry
// point no data of its own to keep it in.
std::string scratch_dir;

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }
void RemoveScratchDir() { nftw(scratch_dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

// A conditional action's test path is cleared only in Prepare, so after
// parsing every path is set.
void CheckPath(const char* what, const char* path) {
  if (!path || path[0] == '/' || strstr(path, "..")) {
    fprintf(stderr, "%s: path missing or breaking the rules: %s\n", what, path ? path : "");
    abort();
  }
}

}  // namespace

std::string WriteScratchFile(const char* name, const uint8_t* data, size_t size) {
  if (scratch_dir.empty()) {
    char templ[] = "/dev/shm/updater-fuzz-XXXXXX", fallback[] = "/tmp/updater-fuzz-XXXXXX";
    const char* made = mkdtemp(templ);
    if (!made) made = mkdtemp(fallback);
    if (!made || chdir(made) != 0 || atexit(RemoveScratchDir) != 0) abort();
    scratch_dir = made;
  }
  std::string path = scratch_dir + "/" + name;
  FILE* fp = fopen(path.c_str(), "wb");
  if (!fp || (size && fwrite(data, size, 1, fp) != 1) || fclose(fp) != 0) {
    perror(path.c_str());
    abort();
  }
  return path;
}

void CheckActionPaths(const ActionList& list) {
  int count = 0;
  for (const Action* a = list.first(); a; a = a->next, ++count) {
    if (auto* c = dynamic_cast<const ConditionalAddAction*>(a)) CheckPath("add-if", c->test_path);
    if (auto* pi = dynamic_cast<const PatchIfAction*>(a)) CheckPath("patch-if", pi->test_path);
    if (auto* link = dynamic_cast<const AddLinkAction*>(a)) {
      if (!link->target || !link->target[0]) abort();  // the parser refuses an empty target
    }
    if (auto* add = dynamic_cast<const AddAction*>(a)) {
      CheckPath("add", add->path);
    } else if (auto* rm = dynamic_cast<const RemoveAction*>(a)) {
      CheckPath("remove", rm->path);
    } else if (auto* rd = dynamic_cast<const RmdirAction*>(a)) {
      CheckPath("rmdir", rd->dir);
    } else if (auto* ad = dynamic_cast<const AddDirAction*>(a)) {
      CheckPath("adddir", ad->dir);
    } else if (auto* p = dynamic_cast<const PatchAction*>(a)) {
      if (!p->entry_name) abort();
      CheckPath("patch", p->target_path);
    } else {
      abort();  // an action of a kind this check does not know
    }
  }
  if (count != list.count()) abort();
}

}  // namespace fuzz_util
