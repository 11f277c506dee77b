// Power loss: real runs of the updater are recorded call by call (fsrecord.c);
// the crash states that the model of doc/design.md ("Power loss") allows are
// built at every point of each recording and continued as a kill is.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "patch/patch_test_util.h"
#include "testing/test_util.h"
#include "tests/updater_fixture.h"

namespace {

using testing_util::ReadFile;
using updater_fixture::RunUpdater;

// A file, directory or link of a modelled tree.
struct Node {
  char type;  // 'f', 'd' or 'l'
  mode_t mode;
  std::string data;  // a file's bytes, a link's target
  std::map<std::string, std::shared_ptr<Node>> kids;
  unsigned long ino;  // in the recorded run
};
using NodeP = std::shared_ptr<Node>;

NodeP NewNode(char type, mode_t mode, std::string data, unsigned long ino) {
  return std::make_shared<Node>(Node{type, mode, std::move(data), {}, ino});
}

// A copy of `n`, its nodes by recorded inode in `inodes`.
NodeP Clone(const NodeP& n, std::map<unsigned long, NodeP>* inodes) {
  NodeP copy = (*inodes)[n->ino] = std::make_shared<Node>(*n);
  for (auto& [name, kid] : copy->kids) kid = Clone(kid, inodes);
  return copy;
}

// The tree at `path`.
NodeP Load(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return nullptr;
  const char type = S_ISDIR(st.st_mode) ? 'd' : S_ISLNK(st.st_mode) ? 'l' : 'f';
  NodeP n = NewNode(type, st.st_mode & 07777, "", st.st_ino);
  if (n->type == 'f') n->data = ReadFile(path);
  if (n->type == 'l') n->data = std::filesystem::read_symlink(path).string();
  if (n->type == 'd')
    for (const auto& e : std::filesystem::directory_iterator(path))
      n->kids[e.path().filename()] = Load(e.path());
  return n;
}

// Writes the tree `n` at `path`; `inodes` maps the recorded inode of each
// file and directory to the one it has now.
bool Materialize(const Node& n, const std::string& path,
                 std::map<std::string, std::string>* inodes) {
  bool ok = true;
  struct stat st;
  if (n.type == 'l') return symlink(n.data.c_str(), path.c_str()) == 0;
  if (n.type == 'f') {
    testing_util::WriteFile(path, n.data, n.mode);
  } else {
    ok = mkdir(path.c_str(), 0700) == 0;
    for (const auto& [name, kid] : n.kids) ok = ok && Materialize(*kid, path + "/" + name, inodes);
  }
  ok = ok && chmod(path.c_str(), n.mode) == 0 && lstat(path.c_str(), &st) == 0;
  (*inodes)[" " + std::to_string(n.ino) + '\0'] = " " + std::to_string(st.st_ino) + '\0';
  return ok;
}

// One recorded call (fsrecord.c's line).
struct Op {
  std::string op;
  unsigned long ino = 0;
  long long a = 0, at = 0;
  std::string b, path, path2;
  size_t durable = SIZE_MAX;  // a data op: the first flush covering it
  bool Data() const { return op == "write" || op == "size"; }
  bool Flush() const { return op == "fsync" || op == "fsyncdir" || op == "syncfs"; }
};

// What reaches the disk of a file's data written since its last flush.
enum Outcome { kAll, kNone, kPrefix, kZeros };

struct Recording {
  std::string root, data;  // the recorded directory, the bytes written
  NodeP initial;
  std::vector<Op> ops;
  std::vector<size_t> floor;  // floor[k]: the name changes persisted at a crash before op k
};

bool ReadRecording(const std::string& log, Recording* r) {
  std::ifstream in(log);
  r->data = ReadFile(log + ".data");
  for (std::string line; std::getline(in, line);) {
    std::istringstream s(line.substr(0, line.find('\t')));
    Op o;
    long seq;
    s >> seq >> o.op >> o.ino >> o.a >> o.b;
    if (o.op == "write") s >> o.at;
    s.get();
    std::getline(s, o.path);
    if (line.find('\t') != std::string::npos) o.path2 = line.substr(line.find('\t') + 1);
    if (seq != static_cast<long>(r->ops.size()) + 1) return false;
    r->ops.push_back(o);
  }
  // Flushes: a file's covers its earlier data, syncfs everything; each
  // commits ext4's one journal, with every earlier name change.
  size_t floor = 0;
  for (size_t i = 0; i < r->ops.size(); ++i) {
    r->floor.push_back(floor);
    const Op& f = r->ops[i];
    if (f.Flush()) floor = i;
    for (size_t j = 0; f.Flush() && j < i; ++j)
      if (r->ops[j].Data() && r->ops[j].durable == SIZE_MAX &&
          (f.op == "syncfs" || r->ops[j].ino == f.ino))
        r->ops[j].durable = i;
  }
  r->floor.push_back(floor);
  return !r->ops.empty();
}

// The tree after a crash before op `k` whose name changes persisted up to op
// `p`, with `outcome` (and `budget` bytes, for a prefix) for the data each
// file got since its last flush.
NodeP CrashState(const Recording& r, size_t k, size_t p,
                 const std::map<unsigned long, Outcome>& outcome,
                 std::map<unsigned long, long long> budget) {
  std::map<unsigned long, NodeP> inodes;
  NodeP root = Clone(r.initial, &inodes);
  // The directory holding the recorded path `path`, and its last name there.
  auto parent = [&](const std::string& path, std::string* name) -> Node* {
    Node* dir = root.get();
    size_t start = r.root.size() + 1;
    for (size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
      auto it = dir->kids.find(path.substr(start, slash - start));
      if (it == dir->kids.end() || it->second->type != 'd') return nullptr;
      dir = it->second.get();
    }
    *name = path.substr(start);
    return dir;
  };
  for (size_t i = 0; i < k; ++i) {
    const Op& o = r.ops[i];
    std::string name, name2;
    Node *dir = o.path.empty() ? nullptr : parent(o.path, &name), *to = nullptr;
    if (o.Data() && inodes.count(o.ino)) {
      Node& n = *inodes[o.ino];
      Outcome how = o.durable < k ? kAll : outcome.at(o.ino);
      long long& left = budget[o.ino];
      if (how == kNone || (how == kPrefix && left <= 0)) continue;
      if (o.op == "size") {
        n.data.resize(static_cast<size_t>(o.a));
        continue;
      }
      std::string bytes = r.data.substr(static_cast<size_t>(o.at), std::stoul(o.b));
      if (how == kZeros) bytes.assign(bytes.size(), '\0');
      if (how == kPrefix)
        bytes.resize(static_cast<size_t>(std::min<long long>(left, bytes.size())));
      left -= static_cast<long long>(bytes.size());
      if (n.data.size() < static_cast<size_t>(o.a)) n.data.resize(static_cast<size_t>(o.a));
      n.data.replace(static_cast<size_t>(o.a), bytes.size(), bytes);
    } else if (o.op == "create" || o.op == "mkdir" || o.op == "symlink") {
      // A new file whose name did not persist still takes its data.
      const bool link = o.op == "symlink";
      NodeP n = inodes[o.ino] =
          NewNode(o.op == "create" ? 'f'
                  : link           ? 'l'
                                   : 'd',
                  link ? 0777 : std::stoul(o.b, nullptr, 8), link ? o.b : "", o.ino);
      if (i < p && dir) dir->kids[name] = n;
    } else if (o.op == "chmod" && i < p && inodes.count(o.ino)) {
      inodes[o.ino]->mode = static_cast<mode_t>(std::stoul(o.b, nullptr, 8));
    } else if (i >= p || !dir) {
      continue;
    } else if (o.op == "rename" && (to = parent(o.path2, &name2)) && dir->kids.count(name)) {
      NodeP n = dir->kids[name];
      dir->kids.erase(name);
      to->kids[name2] = n;
    } else if (o.op == "unlink" || o.op == "rmdir") {
      dir->kids.erase(name);
    }
  }
  return root;
}

// A text that tells crash states apart.
void Describe(const Node& n, const std::string& path, std::string* out) {
  *out += path + ' ' + n.type + std::to_string(n.mode) + ' ' + std::to_string(n.data.size()) + ' ' +
          n.data + '\n';
  for (const auto& [name, kid] : n.kids) Describe(*kid, path + "/" + name, out);
}

// The distinct crash states of a recording at every cut.
// `*sampled`: the states with some file's unflushed data not whole.
struct CrashPoint {
  NodeP tree;
  std::string where;  // the cut, the names persisted, the outcomes
};
constexpr size_t kDrawnOutcomes = 6, kDrawnPrefixes = 4;
std::vector<CrashPoint> CrashStates(const Recording& r, unsigned seed, size_t* sampled) {
  std::mt19937 rng(seed);
  std::set<size_t> seen;
  std::vector<CrashPoint> states;
  *sampled = 0;
  for (size_t k = 0; k <= r.ops.size(); ++k) {
    std::map<unsigned long, long long> unflushed;  // bytes
    for (size_t i = 0; i < k; ++i)
      if (r.ops[i].Data() && r.ops[i].durable >= k)
        unflushed[r.ops[i].ino] += r.ops[i].op == "write" ? std::stoll(r.ops[i].b) : 0;
    // With all the names: all the data, none of it, and drawn outcomes; then
    // drawn shorter prefixes of the names, or before a flush and at the end
    // every shorter prefix.
    const size_t all_names = 2 + kDrawnOutcomes;
    const bool last = k == r.ops.size() || r.ops[k].Flush();
    for (size_t draw = 0; draw < all_names + (last ? k - r.floor[k] : kDrawnPrefixes); ++draw) {
      std::map<unsigned long, Outcome> outcome;
      std::map<unsigned long, long long> budget;
      bool whole = true;
      size_t p = draw < all_names ? k
                 : last           ? r.floor[k] + draw - all_names
                                  : r.floor[k] + rng() % (k - r.floor[k] + 1);
      std::string where = "before call " + std::to_string(k + 1) + ", names to " +
                          std::to_string(p) + ", data of inode (0 all 1 none 2 cut 3 zeros):";
      for (const auto& [ino, bytes] : unflushed) {
        outcome[ino] = draw < 2 ? static_cast<Outcome>(draw) : static_cast<Outcome>(rng() % 4);
        budget[ino] = bytes ? static_cast<long long>(rng() % static_cast<unsigned>(bytes)) : 0;
        whole = whole && outcome[ino] == kAll;
        where += " " + std::to_string(ino) + ":" + std::to_string(outcome[ino]) +
                 (outcome[ino] == kPrefix ? "/" + std::to_string(budget[ino]) : "");
      }
      NodeP state = CrashState(r, k, p, outcome, budget);
      std::string text;
      Describe(*state, "", &text);
      if (!seen.insert(std::hash<std::string>()(text)).second) continue;
      states.push_back({state, where + "\n"});
      *sampled += !whole;
    }
  }
  return states;
}

enum Kind { kInPlace, kStaged, kReplace, kRollback, kRecovery };
const char* const kKindNames[] = {"in_place", "staged", "replace", "rollback", "recovery"};

// A small complete update (its precomplete removes files and a directory)
// that adds, patches, replaces the file conf/node by a directory, removes a
// file and a tree, and makes a link and a directory; run in each way.
class PowerLossTest : public ::testing::TestWithParam<Kind> {
 protected:
  void SetUp() override {
    const std::string big = testing_util::RandomBytes(3000, 1);
    for (bool updated : {false, true}) {
      testing_util::ScopedTempDir dir;
      ASSERT_TRUE(WriteTree(dir.Sub("app"), updated, big));
      (updated ? new_ : old_) = testing_util::SnapshotTree(dir.Sub("app"));
    }
    const std::string manifest =
        "type \"complete\"\nadd \"bin/app\"\npatch \"lib/big.patch\" \"lib/big\"\n"
        "remove \"conf/node\"\nadd \"conf/node/sub/f\"\nadd \"share/new/notes.txt\"\n"
        "add-if \"share/readme.txt\" \"share/readme.txt\"\nremove \"share/gone.txt\"\n"
        "rmrfdir \"plugins/\"\nadd \"precomplete\"\naddlink \"lib/big.so\" \"big\"\n"
        "adddir \"var/cache/\" \"0700\"\n";
    entries_ = {{"updatev3.manifest", manifest},
                {"bin/app", "new app\n", 0755},
                {"lib/big.patch", patch_testing::MakePatchFor(big, NewBig(big)).Serialize()},
                {"conf/node/sub/f", "f\n"},
                {"share/new/notes.txt", "notes\n"},
                {"share/readme.txt", "new readme\n"},
                {"precomplete", "remove \"precomplete\"\n"}};
  }
  static std::string NewBig(const std::string& big) {
    return big.substr(0, 2000) + "inserted" + big.substr(1500);
  }
  static bool WriteTree(const std::string& d, bool updated, const std::string& big) {
    using testing_util::WriteFile;
    WriteFile(d + "/bin/app", updated ? "new app\n" : "old app\n", 0755);
    WriteFile(d + "/lib/big", updated ? NewBig(big) : big, 0640);
    WriteFile(d + "/share/readme.txt", updated ? "new readme\n" : "old readme\n", 0644);
    if (updated) {
      WriteFile(d + "/conf/node/sub/f", "f\n");
      WriteFile(d + "/share/new/notes.txt", "notes\n");
      WriteFile(d + "/precomplete", "remove \"precomplete\"\n");
      return symlink("big", (d + "/lib/big.so").c_str()) == 0 &&
             mkdir((d + "/var").c_str(), 0755) == 0 && mkdir((d + "/var/cache").c_str(), 0700) == 0;
    }
    WriteFile(d + "/conf/node", "a file\n");
    WriteFile(d + "/share/gone.txt", "gone\n");
    WriteFile(d + "/plugins/a/one", "one", 0600);
    WriteFile(d + "/plugins/a/b/two", "two");
    WriteFile(d + "/obsolete/x.txt", "x");
    WriteFile(d + "/precomplete",
              "remove \"precomplete\"\nremove \"obsolete/x.txt\"\nrmdir \"obsolete/\"\n");
    return true;
  }
  // The archive, good or with a damaged last entry (the run fails late).
  bool WriteArchive(bool damaged) {
    return update_.WriteEntries(entries_) && (!damaged || update_.DamageLastEntry());
  }
  std::vector<std::string> Args(Kind kind) const {
    return kind == kReplace ? update_.ReplaceArgs() : update_.Args(kind == kStaged);
  }
  // Records the run of `kind` from the tree there now.
  bool Record(Kind kind, Recording* r) {
    const std::string log = root_.Sub("calls");
    unlink(log.c_str());
    unlink((log + ".data").c_str());
    r->root = tree_;
    r->initial = Load(tree_);
    RunUpdater(Args(kind), {"LD_PRELOAD=" FSRECORD_LIB, "UPDATER_RECORD=" + log,
                            "UPDATER_RECORD_SCOPE=" + tree_});
    return ReadRecording(log, r);
  }
  // Builds the tree `state`. The journal names files by device and inode:
  // those of the recorded run become those of the files built here.
  bool Put(const Node& state) {
    std::filesystem::remove_all(tree_);
    std::map<std::string, std::string> inodes;
    if (!Materialize(state, tree_, &inodes)) return false;
    for (const std::string& dir : {update_.install_dir(), update_.StagedDir()}) {
      std::string text = ReadFile(dir + "/updating.journal");
      for (size_t at = 0; (at = text.find('\0', at)) != std::string::npos; ++at) {
        size_t space = text.rfind(' ', at);
        auto it = space == std::string::npos ? inodes.end()
                                             : inodes.find(text.substr(space, at - space + 1));
        if (it != inodes.end()) text.replace(space, it->first.size(), it->second);
      }
      if (!text.empty()) testing_util::WriteFile(dir + "/updating.journal", text, 0600);
    }
    return true;
  }
  // What is wrong after `run`: it must have succeeded (`want` 0), failed (1)
  // or either (2), and left the installation exactly old or new (or, when
  // `staged`, the installation old and the staged copy new).
  std::string Problems(const updater_fixture::RunOutcome& run, int want,
                       bool staged = false) const {
    auto v = Judge(update_, run, update_.Installation() == new_ ? new_ : old_, new_, {staged});
    std::string out = want != 2 && v.succeeded == (want == 1) ? "the run's outcome\n" : "";
    for (const std::string& p : v.problems) out += p + "\n";
    if (testing_util::Exists(update_.install_dir() + ".bak")) out += "left: .bak\n";
    return out;
  }
  // Whether the run had ended, its status written and its files removed:
  // then the target must be new, and the same run again would apply it again.
  bool Done(Kind kind) const {
    if (!update_.Finished(kind == kStaged)) return false;
    EXPECT_TRUE(update_.Target(kind == kStaged) == new_) << kKindNames[kind];
    return true;
  }

  testing_util::ScopedTempDir root_;
  const std::string tree_ = root_.Sub("t");
  updater_fixture::MixedUpdate update_{root_.Sub("t/x/app"), root_.Sub("t/upd")};
  updater_fixture::Snapshot old_, new_;
  std::vector<archive_testing::TestEntry> entries_;
};

TEST_P(PowerLossTest, EveryCrashStateRecovers) {
  const Kind kind = GetParam();
  ASSERT_TRUE(WriteTree(update_.install_dir(), false, testing_util::RandomBytes(3000, 1)));
  ASSERT_TRUE(WriteArchive(kind == kRollback));
  if (kind == kStaged || kind == kReplace) {
    ASSERT_EQ(testing_util::RunCommand("chmod -R u+w " + tree_), 0);
  }
  if (kind == kReplace) {
    ASSERT_EQ(RunUpdater(Args(kStaged)).exit_code, 0);
  }
  Recording rec;
  if (kind == kRecovery) {
    // The state a power loss left in an update: names up to conf/node/sub/f
    // (in place of the file conf/node) persisted, no unflushed data.
    Recording first;
    ASSERT_TRUE(Record(kInPlace, &first));
    size_t k = 0;
    const std::string f = update_.install_dir() + "/conf/node/sub/f";
    while (k < first.ops.size() && first.ops[k].path != f && first.ops[k].path2 != f) ++k;
    ASSERT_LT(k, first.ops.size());
    std::map<unsigned long, Outcome> none;
    for (const Op& o : first.ops) none[o.ino] = kNone;
    ASSERT_TRUE(Put(*CrashState(first, k + 1, k + 1, none, {})));
  }
  ASSERT_TRUE(Record(kind == kRecovery ? kInPlace : kind, &rec));
  size_t sampled = 0;
  const std::vector<CrashPoint> states = CrashStates(rec, 29, &sampled);
  // A sanitizer build runs each program several times slower: it continues
  // an evenly spread sixth of the states, for the memory errors of recovery.
  const size_t stride = UPDATER_SANITIZED ? 6 : 1;
  for (size_t i = 0; i < states.size(); i += stride) {
    const CrashPoint& state = states[i];
    const std::string& where = state.where;
    ASSERT_TRUE(Put(*state.tree));
    if (Done(kind)) continue;
    // 1. The same run again.
    auto again = RunUpdater(Args(kind));
    EXPECT_EQ(Problems(again, kind == kRollback, kind == kStaged), "") << where << update_.Log();
    // 2. An ordinary run with a damaged archive, then with the good one (an
    // update already finished stays new: its patches no longer apply).
    ASSERT_TRUE(Put(*state.tree));
    ASSERT_TRUE(WriteArchive(true));
    EXPECT_EQ(Problems(RunUpdater(update_.Args()), 1), "") << where << update_.Log();
    ASSERT_TRUE(WriteArchive(false));
    const int want = update_.Installation() == new_ ? 2 : 0;
    EXPECT_EQ(Problems(RunUpdater(update_.Args()), want), "") << where << update_.Log();
    if (HasFailure()) break;
  }
  printf("[ power loss ] %-9s %4zu calls %5zu crash states, %5zu with data lost or cut%s\n",
         kKindNames[kind], rec.ops.size(), states.size(), sampled,
         stride > 1 ? " (every 6th continued)" : "");
}

INSTANTIATE_TEST_SUITE_P(Runs, PowerLossTest,
                         ::testing::Values(kInPlace, kStaged, kReplace, kRollback, kRecovery),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                           return std::string(kKindNames[info.param]);
                         });

}  // namespace
