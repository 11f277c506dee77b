#include "tests/diff_case.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "archive/archive_test_util.h"
#include "patch/crc32.h"
#include "patch/patch_format.h"
#include "testing/test_util.h"

extern char** environ;

namespace diff_case {

uint32_t Choices::Pick(uint32_t n) {
  if (n <= 1) return 0;
  if (size_ == 0) return static_cast<uint32_t>(gen_() % n);
  uint32_t v = *data_++;
  --size_;
  if (n > 256 && size_ > 0) {
    v = v << 8 | *data_++;
    --size_;
  }
  return v % n;
}

namespace {

namespace fs = std::filesystem;
using archive_testing::TestEntry;

struct Node {
  char type;         // 'f'ile, 'd'irectory, 'l'ink, 'p'ipe (a FIFO)
  std::string data;  // contents, or the link's target ("@" stands for the case's directory)
  unsigned mode = 0644;
};

// A patch in pieces, so that a mutation can break any of them before it is written.
struct Patch {
  PatchHeader header{};
  std::vector<ControlTriple> triples;
  std::string diff, extra, tail;  // tail: bytes after the triples in the control block
  int delta = 0;                  // one byte more (1) or less (-1) than the header says
  int keep = -1;                  // cut to this many bytes
  bool broken = false;            // no run may apply it
  std::string Bytes() const {
    unsigned char raw[kPatchHeaderSize];
    encode_patch_header(header, raw);
    std::string out(reinterpret_cast<char*>(raw), sizeof(raw));
    for (const ControlTriple& t : triples) {
      unsigned char c[kControlTripleSize];
      encode_control_triple(t, c);
      out.append(reinterpret_cast<char*>(c), sizeof(c));
    }
    out += tail + diff + extra;
    if (delta > 0) out += 'z';
    if (delta < 0 && !out.empty()) out.pop_back();
    if (keep >= 0 && static_cast<size_t>(keep) < out.size()) out.resize(keep);
    return out;
  }
};

enum Kind { kAdd, kAddIf, kAddIfNot, kPatch, kPatchIf, kRemove, kRmdir, kRmrfdir, kLink, kDir };
const char* const kKeyword[] = {"add",    "add-if", "add-if-not", "patch",   "patch-if",
                                "remove", "rmdir",  "rmrfdir",    "addlink", "adddir"};
bool IsDirKind(Kind k) { return k == kRmdir || k == kRmrfdir || k == kDir; }
bool IsAdd(Kind k) { return k == kAdd || k == kAddIf || k == kAddIfNot; }
bool IsPatch(Kind k) { return k == kPatch || k == kPatchIf; }

struct Act {
  Act(Kind k, const std::string& p) : kind(k), path(p), shown(p + (IsDirKind(k) ? "/" : "")) {}
  Kind kind;
  std::string path;       // without the trailing slash of a directory
  std::string shown;      // as the line gives it
  std::string test, arg;  // the condition's path; the link's target or the directory's mode
  std::string old_data, new_data;
  Patch patch;
  bool entry = false, corrupt = false;
  unsigned entry_mode = 0644;
  std::string EntryName() const { return IsPatch(kind) ? path + ".patch" : path; }
};

struct Case {
  std::map<std::string, Node> tree;  // relative to the installation; "../outside/..." beside it
  std::vector<Act> acts;
  std::vector<std::string> notes;
  std::vector<std::pair<size_t, std::string>> junk;  // lines inserted before act N
  bool complete = false, manifest = true;
  std::string manifest_name = "updatev3.manifest";
  unsigned settings_mode = 0644;  // of the keys and settings files
  std::string keys, signer, ini, channel = "release", version = "1.0";
  int cut = -1, flip = -1;        // percent of the archive's length
  std::string apply_to = "inst";  // relative to the case's directory
  bool unused_entry = false;      // an entry no line names, which cannot be decoded
};

std::string Content(Choices& c) {
  static const std::vector<size_t> kSizes = {1, 12, 300, 4096, 20000};
  return testing_util::RandomBytes(c.Of(kSizes), c.Pick(1u << 30));
}

void RemoveSubtree(Case& k, const std::string& path) {
  for (auto it = k.tree.lower_bound(path); it != k.tree.end() && it->first.rfind(path, 0) == 0;)
    it = it->first == path || it->first[path.size()] == '/' ? k.tree.erase(it) : std::next(it);
}

// Places `node`, through the links to moved directories that the tree
// already holds, as the file system would, and in place of any other file
// in its way.
void Put(Case& k, std::string path, Node node) {
  for (size_t slash = path.find('/'); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    auto it = k.tree.find(path.substr(0, slash));
    if (it == k.tree.end() || it->second.type == 'd') continue;
    const std::string& to = it->second.data;
    if (it->second.type != 'l' ||
        (to.rfind("real-", 0) != 0 && to.find("outside/") == std::string::npos)) {
      k.tree.erase(it);  // a file in the way gives way to the directory
      continue;
    }
    const std::string target = to[0] == '@' ? "../" + to.substr(1) : to;
    path = target + path.substr(slash);
    slash = target.size();
  }
  RemoveSubtree(k, path);
  k.tree[path] = std::move(node);
}

std::string TopOf(const std::string& path) { return path.substr(0, path.find('/')); }
std::string ParentOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

// Moves `top` and everything below it to `prefix` + its path, and leaves a
// link to `target` in its place.
void MoveBehindLink(Case& k, const std::string& top, const std::string& prefix,
                    std::string target) {
  std::map<std::string, Node> moved;
  for (auto& [p, n] : k.tree)
    if (p == top || p.rfind(top + "/", 0) == 0) moved[prefix + p] = n;
  RemoveSubtree(k, top);
  k.tree.insert(moved.begin(), moved.end());
  k.tree[top] = {'l', std::move(target)};
}

// A valid patch of one to three triples, some of them seeking back to the start.
Patch MakePatch(Choices& c, const std::string& from, const std::string& to) {
  Patch p;
  size_t cur = 0, done = 0;
  const uint32_t n = 1 + c.Pick(3);
  for (uint32_t j = 0; j < n; ++j) {
    size_t len =
        j + 1 == n ? to.size() - done : c.Pick(static_cast<uint32_t>(to.size() - done + 1));
    size_t add = std::min(len, from.size() - cur);
    for (size_t i = 0; i < add; ++i) p.diff += static_cast<char>(to[done + i] - from[cur + i]);
    p.extra += to.substr(done + add, len - add);
    cur += add;
    done += len;
    int32_t seek = 0;
    if (c.Chance(30)) {
      seek = -static_cast<int32_t>(cur);
      cur = 0;
    }
    p.triples.push_back({static_cast<uint32_t>(add), static_cast<uint32_t>(len - add), seek});
  }
  p.header = make_patch_header(
      static_cast<uint32_t>(from.size()), crc32_bzip2(from.data(), from.size()),
      static_cast<uint32_t>(to.size()), static_cast<uint32_t>(n * kControlTripleSize),
      static_cast<uint32_t>(p.diff.size()), static_cast<uint32_t>(p.extra.size()));
  return p;
}

// An action at `path` and the installation it finds there, mostly one it can work on.
Act MakeAct(Case& k, Choices& c, Kind kind, const std::string& path) {
  Act a(kind, path);
  a.test = c.Chance(80) ? path : c.Of(std::vector<std::string>{"keep/a", "nothing", "keep"});
  a.entry_mode = c.Chance(70) ? 0644 : 0755;
  const Node file{'f', Content(c), c.Chance(70) ? 0644u : 0600u};
  switch (kind) {
    case kAdd:
    case kAddIf:
    case kAddIfNot:
      a.new_data = Content(c);
      a.entry = true;
      if (c.Chance(50)) Put(k, path, file);
      break;
    case kPatch:
    case kPatchIf:
      a.old_data = Content(c);
      a.new_data = c.Chance(50) ? Content(c) : a.old_data.substr(0, a.old_data.size() / 2) + "new";
      a.patch = MakePatch(c, a.old_data, a.new_data);
      a.entry = true;
      if (kind == kPatch || c.Chance(70)) Put(k, path, {'f', a.old_data, file.mode});
      break;
    case kRemove:
      if (c.Chance(70)) Put(k, path, c.Chance(80) ? file : Node{'l', "keep/a"});
      break;
    case kRmdir:
      if (c.Chance(70)) Put(k, path, {'d', "", 0755});
      if (c.Chance(30)) Put(k, path + "/left", file);
      break;
    case kRmrfdir:
      if (c.Chance(75)) {
        Put(k, path + "/x", file);
        Put(k, path + "/sub/y", file);
        Put(k, path + "/sub/ln", {'l', c.Chance(50) ? "../x" : "@outside"});
      }
      break;
    case kLink:
      a.arg = c.Of(std::vector<std::string>{"f0", "../up", "/etc/passwd", "missing/x", "."});
      if (c.Chance(40)) Put(k, path, c.Chance(60) ? file : Node{'l', "old-target"});
      break;
    case kDir:
      a.arg = c.Of(std::vector<std::string>{"755", "0700", "2775", "1777", "0"});
      if (c.Chance(40)) Put(k, path, {'d', "", 0755});
      break;
  }
  return a;
}

// Whether `a` is a patch; if so, from now on one that no run may apply.
bool Break(Act& a) { return IsPatch(a.kind) && (a.patch.broken = true); }

// Ways to break a case. Each returns false when it does not apply to `a`.
struct Mutation {
  const char* name;
  bool (*apply)(Case& k, Choices& c, Act& a);
};
const Mutation kMutations[] = {
    {"no-entry", [](Case&, Choices&, Act& a) { return a.entry && !(a.entry = false); }},
    {"bad-bzip2", [](Case&, Choices&, Act& a) { return a.entry && (a.corrupt = true); }},
    {"empty-entry",
     [](Case&, Choices&, Act& a) { return IsAdd(a.kind) && (a.new_data.clear(), true); }},
    {"patch-tag",
     [](Case&, Choices&, Act& a) { return Break(a) && (a.patch.header.tag[7] = '2'); }},
    {"patch-size",
     [](Case&, Choices& c, Act& a) { return Break(a) && (a.patch.delta = c.Chance(50) ? 1 : -1); }},
    {"patch-short",
     [](Case&, Choices& c, Act& a) { return Break(a) && (a.patch.keep = c.Pick(32), true); }},
    {"control-12",
     [](Case&, Choices&, Act& a) {
       return Break(a) && (a.patch.tail = "\x01", a.patch.header.control_length += 1, true);
     }},
    {"control-0",
     [](Case&, Choices&, Act& a) {
       return Break(a) && (a.patch.triples.clear(), a.patch.header.control_length = 0, true);
     }},
    {"dest-length",
     [](Case&, Choices& c, Act& a) {
       return Break(a) &&
              (a.patch.header.dest_length += a.patch.header.dest_length && c.Chance(50) ? -1 : 1,
               true);
     }},
    {"beyond-blocks",
     [](Case&, Choices& c, Act& a) {
       if (!Break(a)) return false;
       ControlTriple& t = a.patch.triples[c.Pick(static_cast<uint32_t>(a.patch.triples.size()))];
       (c.Chance(50) ? t.add_length : t.copy_length) += 1;
       a.patch.header.dest_length += 1;
       return true;
     }},
    {"seek-past-source",
     [](Case&, Choices&, Act& a) {
       if (!IsPatch(a.kind) || a.patch.triples.size() < 2 || !Break(a)) return false;
       a.patch.triples[0].seek_offset = static_cast<int32_t>(a.old_data.size()) + 1;
       return true;
     }},
    {"source-size",
     [](Case& k, Choices&, Act& a) {
       auto it = k.tree.find(a.path);
       if (!IsPatch(a.kind) || it == k.tree.end() || it->second.type != 'f') return false;
       it->second.data += "+";
       return true;
     }},
    {"source-crc",
     [](Case& k, Choices& c, Act& a) {
       auto it = k.tree.find(a.path);
       if (!IsPatch(a.kind) || it == k.tree.end() || it->second.type != 'f' ||
           it->second.data.empty())
         return false;
       it->second.data[c.Pick(static_cast<uint32_t>(it->second.data.size()))] ^= 0x20;
       return true;
     }},
    {"source-missing",
     [](Case& k, Choices&, Act& a) { return IsPatch(a.kind) && k.tree.erase(a.path); }},
    {"dir-here",
     [](Case& k, Choices&, Act& a) {
       if (IsDirKind(a.kind)) return false;
       Put(k, a.path, {'d', "", 0755});
       Put(k, a.path + "/inner", {'f', "inner"});
       return true;
     }},
    {"file-here",
     [](Case& k, Choices&, Act& a) {
       std::string at = IsDirKind(a.kind) ? a.path : ParentOf(a.path);
       return !at.empty() && (Put(k, at, {'f', "a file"}), true);
     }},
    {"link-out",
     [](Case& k, Choices& c, Act& a) {
       // The first directory (or the file itself) becomes a link leading out,
       // to a copy of what was there.
       std::string top = TopOf(a.path);
       if (k.tree.count(top) && k.tree[top].type == 'l') return false;
       MoveBehindLink(k, top, "../outside/",
                      c.Chance(50) ? "../outside/" + top : "@outside/" + top);
       return true;
     }},
    {"link-in",
     [](Case& k, Choices&, Act& a) {
       std::string top = TopOf(a.path);
       if (top == a.path || (k.tree.count(top) && k.tree[top].type == 'l')) return false;
       MoveBehindLink(k, top, "real-", "real-" + top);
       k.tree["real-" + top] = {'d', "", 0755};
       return true;
     }},
    {"path-rule",
     [](Case&, Choices& c, Act& a) {
       a.shown = c.Of(std::vector<std::string>{"/" + a.shown, "../" + a.shown, "x/../" + a.shown,
                                               "./" + a.shown, a.path + "/..", ""});
       return true;
     }},
    {"bad-mode",
     [](Case&, Choices& c, Act& a) {
       return a.kind == kDir && (a.arg = c.Of(std::vector<std::string>{"9", "", "12345"}), true);
     }},
    {"syntax",
     [](Case& k, Choices& c, Act&) {
       k.junk.push_back({c.Pick(static_cast<uint32_t>(k.acts.size() + 1)),
                         c.Of(std::vector<std::string>{"frobnicate \"x\"", "add \"unclosed",
                                                       "patch \"only-one\"", "remove"})});
       return true;
     }},
    {"no-actions", [](Case& k, Choices&, Act&) { return k.acts.clear(), true; }},
    {"no-manifest", [](Case& k, Choices&, Act&) { return !(k.manifest = false); }},
    {"complete",
     [](Case& k, Choices& c, Act& a) {
       k.complete = true;
       std::string lines = "remove \"keep/a\"\n";
       if (c.Chance(60)) lines += "remove \"" + a.path + "\"\n";
       if (c.Chance(30)) lines += c.Chance(50) ? "rmdir \"keep/\"\n" : "remove \"../x\"\n";
       if (c.Chance(80)) Put(k, "precomplete", {'f', lines});
       return true;
     }},
    {"journal",
     [](Case& k, Choices&, Act&) {
       return Put(k, "updating.journal", {'f', "garbage\n"}), true;
     }},
    {"work-dir",
     [](Case& k, Choices& c, Act&) {
       return Put(k, "updating", c.Chance(50) ? Node{'f', "x"} : Node{'l', "keep"}), true;
     }},
    {"keys",
     [](Case& k, Choices& c, Act&) {
       k.keys = c.Chance(85) ? "trusted" : "no key here\n";
       k.settings_mode = c.Chance(85) ? 0644 : 0666;
       k.signer = c.Of(std::vector<std::string>{"", "trusted", "trusted", "stranger", "damaged"});
       if (c.Chance(80)) Put(k, "product-version", {'f', "0.5\n"});
       return true;
     }},
    {"channel",
     [](Case& k, Choices& c, Act&) {
       k.settings_mode = c.Chance(85) ? 0644 : 0666;
       return k.ini = c.Of(std::vector<std::string>{"beta", "release, beta", "esr"}), true;
     }},
    {"version",
     [](Case& k, Choices& c, Act&) {
       k.version = c.Of(std::vector<std::string>{"1.0", "2.0", "0.9"});
       static const std::vector<Node> kRecords = {{'f', "0.5\n"},  {'f', "1.0\n"},  {'f', "2.0\n"},
                                                  {'f', "x\ny\n"}, {'d', "", 0755}, {'l', "keep/a"},
                                                  {'p', ""}};
       Put(k, "product-version", c.Of(kRecords));
       return true;
     }},
    {"fifo-here",
     [](Case& k, Choices& c, Act& a) {
       std::string at = c.Chance(70) ? a.path : c.Chance(50) ? "precomplete" : a.test;
       return Put(k, at, {'p', ""}), true;
     }},
    {"source-empty",
     [](Case& k, Choices& c, Act& a) {
       if (!IsPatch(a.kind)) return false;
       a.old_data.clear();
       a.patch = MakePatch(c, a.old_data, a.new_data);
       auto it = k.tree.find(a.path);
       if (it != k.tree.end() && it->second.type == 'f') it->second.data.clear();
       return true;
     }},
    {"manifest-v2",
     [](Case& k, Choices&, Act&) { return k.manifest_name = "updatev2.manifest", true; }},
    {"unused-entry", [](Case& k, Choices&, Act&) { return k.unused_entry = true; }},
    // Missing: the run makes it when its parent is a directory; else, as for
    // a file there, it fails once the archive is trusted.
    {"no-apply-to",
     [](Case& k, Choices& c, Act&) {
       return k.apply_to = c.Of(std::vector<std::string>{"new", "new", "no/such", "inst/top"}),
              true;
     }},
    {"archive-cut", [](Case& k, Choices& c, Act&) { return k.cut = 1 + c.Pick(99), true; }},
    {"archive-flip", [](Case& k, Choices& c, Act&) { return k.flip = c.Pick(100), true; }},
    {"duplicate",
     [](Case& k, Choices& c, Act& a) {
       if (IsDirKind(a.kind)) return false;
       static const Kind kFileKinds[] = {kAdd, kRemove, kPatch, kLink};
       Case scratch;  // the installation stays as the first action wants it
       k.acts.push_back(MakeAct(scratch, c, kFileKinds[c.Pick(4)], a.path));
       return true;
     }},
};

std::string ManifestLine(const Act& a) {
  std::string line = std::string(kKeyword[a.kind]) + " ";
  if (a.kind == kAddIf || a.kind == kAddIfNot || a.kind == kPatchIf) line += "\"" + a.test + "\" ";
  if (IsPatch(a.kind)) line += "\"" + a.EntryName() + "\" ";
  line += "\"" + a.shown + "\"";
  if (a.kind == kLink || a.kind == kDir) line += " \"" + a.arg + "\"";
  return line;
}

Case Generate(Choices& c) {
  Case k;
  Put(k, "keep/a", {'f', "bystander\n"});
  Put(k, "keep/b", {'l', "a"});
  Put(k, "top", {'f', "top\n", 0600});
  if (c.Chance(20)) Put(k, "precomplete", {'f', "remove \"top\"\n"});
  const uint32_t n = 2 + c.Pick(5);
  for (uint32_t i = 0; i < n; ++i) {
    Kind kind = static_cast<Kind>(c.Pick(10));
    const std::string d = "d" + std::to_string(i), f = "f" + std::to_string(i);
    std::string path = IsDirKind(kind)
                           ? (c.Chance(60) ? d : d + "/e")
                           : c.Of(std::vector<std::string>{f, d + "/" + f, d + "/e/" + f});
    k.acts.push_back(MakeAct(k, c, kind, path));
  }
  static const std::vector<uint32_t> kCounts = {0, 0, 1, 1, 1, 2, 3};
  for (uint32_t m = c.Of(kCounts); m > 0; --m) {
    const Mutation& mu = kMutations[c.Pick(sizeof(kMutations) / sizeof(kMutations[0]))];
    Act none(kAdd, "f9");  // for the mutations of the whole case
    Act& a = k.acts.empty() ? none : k.acts[c.Pick(static_cast<uint32_t>(k.acts.size()))];
    const std::string where = a.path;  // a duplicate may move the actions
    if (mu.apply(k, c, a)) k.notes.push_back(std::string(mu.name) + "@" + where);
  }
  return k;
}

bool WriteTree(const Case& k, const std::string& base) {
  const std::string inst = base + "/inst";
  for (const auto& [path, node] : k.tree) {
    const std::string at = inst + "/" + path;
    std::error_code ec;
    fs::create_directories(fs::path(at).parent_path(), ec);
    if (node.type == 'f') {
      testing_util::WriteFile(at, node.data, node.mode);
      if (!testing_util::Exists(at)) return false;
    } else if (node.type == 'p') {
      if (mkfifo(at.c_str(), 0644) != 0) return false;
    } else if (node.type == 'd') {
      if ((mkdir(at.c_str(), node.mode) != 0 && errno != EEXIST) || chmod(at.c_str(), node.mode))
        return false;
    } else {
      std::string target = node.data[0] == '@' ? base + "/" + node.data.substr(1) : node.data;
      if (symlink(target.c_str(), at.c_str()) != 0) return false;
    }
  }
  return true;
}

// The archive of the case, signed and damaged as the case says.
bool WriteArchive(const Case& k, const std::string& path, const std::string& keys_dir,
                  std::string* description) {
  archive_testing::TestLayout layout;
  layout.channel = k.channel;
  layout.version = k.version;
  std::string manifest = k.complete ? "type \"complete\"\n" : "type \"partial\"\n";
  for (size_t i = 0; i <= k.acts.size(); ++i) {
    for (const auto& [at, line] : k.junk)
      if (at == i) manifest += line + "\n";
    if (i < k.acts.size()) manifest += ManifestLine(k.acts[i]) + "\n";
  }
  if (k.manifest) layout.entries.push_back({k.manifest_name, manifest});
  auto corrupt = [](TestEntry e) {
    e.contents = archive_testing::Bzip2(e.contents);
    e.contents[e.contents.size() / 2] ^= 0x10;
    e.compress = false;
    return e;
  };
  if (k.unused_entry) layout.entries.push_back(corrupt({"unused.bin", "never decoded"}));
  for (const Act& a : k.acts) {
    bool taken = std::any_of(layout.entries.begin(), layout.entries.end(),
                             [&](const TestEntry& e) { return e.name == a.EntryName(); });
    if (!a.entry || taken) continue;
    TestEntry e{a.EntryName(), IsPatch(a.kind) ? a.patch.Bytes() : a.new_data, a.entry_mode};
    layout.entries.push_back(a.corrupt ? corrupt(e) : e);
  }
  *description = manifest;
  std::replace(description->begin(), description->end(), '\n', ';');
  std::string bytes = archive_testing::BuildArchive(layout);
  if (!archive_testing::WriteBytes(path, bytes)) return false;
  if (!k.signer.empty() &&
      !archive_testing::SignWith(path, keys_dir, {k.signer == "damaged" ? "trusted" : k.signer}))
    return false;
  if (k.signer == "damaged" || k.cut >= 0 || k.flip >= 0) {
    bytes = testing_util::ReadFile(path);
    if (k.signer == "damaged") bytes[bytes.size() - 1] ^= 1;
    if (k.flip >= 0) bytes[bytes.size() * k.flip / 100] ^= 0x40;
    if (k.cut >= 0) bytes.resize(bytes.size() * k.cut / 100);
    return archive_testing::WriteBytes(path, bytes);
  }
  return true;
}

// "succeeded" is 0, "failed: N" is N; anything else -1.
int StatusCode(const std::string& status) {
  if (status == "succeeded\n") return 0;
  if (status.rfind("failed: ", 0) != 0) return -1;
  return atoi(status.c_str() + 8);
}

}  // namespace

bool Result::Agrees() const {
  return predicted >= 0 && predicted == got && !(must_fail && got == 0) &&
         check_exit == (predicted ? 1 : 0) && run_exit == (got ? 1 : 0) && changed.empty();
}

std::string Result::Mismatch() const {
  std::string s = "check predicted " + std::to_string(predicted) + " (exit " +
                  std::to_string(check_exit) + "), the run ended with " + std::to_string(got) +
                  " (exit " + std::to_string(run_exit) + ")";
  if (!changed.empty()) s += "; the check changed: " + changed.substr(0, changed.find('\n'));
  if (must_fail && got == 0) s += "; the run applied a broken patch";
  return s;
}

Worker::Worker(std::string root, const std::string& updater)
    : root_(std::move(root)), program_(root_ + "/bin/updater") {
  for (char** e = environ; *e; ++e) {
    static const char* const kDropped[] = {"DISPLAY=", "QUIL_",
                                           "NO_EM_RESTART=", "ASAN_OPTIONS=", "UBSAN_OPTIONS="};
    if (std::none_of(std::begin(kDropped), std::end(kDropped),
                     [&](const char* p) { return strncmp(*e, p, strlen(p)) == 0; }))
      env_.push_back(*e);
  }
  // Sanitizer reports must not pass for the exit codes the updater uses.
  // Leaks are the leak check's and the other tests' to find: here the scan at
  // every exit would double the time of each case.
  const std::string sanitizers = "exitcode=86:halt_on_error=1:verify_asan_link_order=0";
  env_.push_back("ASAN_OPTIONS=" + sanitizers + ":detect_leaks=0");
  env_.push_back("UBSAN_OPTIONS=" + sanitizers);
  std::error_code ec;
  ok_ = fs::create_directories(root_ + "/bin", ec) &&
        fs::copy_file(updater, program_, fs::copy_options::overwrite_existing, ec) &&
        archive_testing::MakeKeyPair(root_ + "/trusted") &&
        archive_testing::MakeKeyPair(root_ + "/stranger");
}

int Worker::Exec(const std::vector<std::string>& args, std::string* out, const char* cwd) {
  std::vector<std::string> all = {program_};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv, envp;
  for (std::string& a : all) argv.push_back(a.data());
  for (std::string& e : env_) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  const std::string out_path = root_ + "/stdout";
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
  if (cwd) posix_spawn_file_actions_addchdir_np(&files, cwd);
  pid_t pid;
  int status = 0,
      rv = posix_spawn(&pid, program_.c_str(), &files, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&files);
  if (rv != 0) return -1;
  // A fuzzer's timer interrupts the wait.
  while (waitpid(pid, &status, 0) != pid)
    if (errno != EINTR) return -1;
  if (out) *out = testing_util::ReadFile(out_path);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Result Worker::Run(Choices& choices) {
  Result r;
  const Case k = Generate(choices);
  const std::string base = root_ + "/case", inst = base + "/inst", upd = base + "/upd",
                    apply_to = base + "/" + k.apply_to;
  std::error_code ec;
  fs::remove_all(base, ec);
  fs::create_directories(inst, ec);
  fs::create_directories(upd, ec);
  fs::create_directories(base + "/outside", ec);
  fs::remove(program_ + ".keys", ec);
  fs::remove(program_ + ".ini", ec);
  if (!k.keys.empty()) {
    testing_util::WriteFile(
        program_ + ".keys",
        k.keys == "trusted" ? testing_util::ReadFile(root_ + "/trusted.pub") : k.keys,
        k.settings_mode);
  }
  if (!k.ini.empty())
    testing_util::WriteFile(program_ + ".ini", "[Settings]\nAcceptedChannels=" + k.ini + "\n",
                            k.settings_mode);
  if (!WriteTree(k, base) || !WriteArchive(k, upd + "/update.qex", root_, &r.description)) {
    r.changed = "the case could not be written";
    return r;
  }
  for (const std::string& note : k.notes) r.description += " " + note;
  if (!k.keys.empty())
    r.description += " keys:" + (k.keys == "trusted" ? k.keys : "bad") + " signer:" + k.signer;
  if (!k.ini.empty()) r.description += " channels:" + k.ini;
  if (k.apply_to != "inst") r.description += " apply-to:" + k.apply_to;

  const auto before = testing_util::SnapshotTree(base);
  // Half the checks report as text, on directories named relative to where they run.
  std::string report;
  if (choices.Chance(50)) {
    r.check_exit = Exec({"--check", "upd", k.apply_to}, &report, base.c_str());
    size_t at = report.rfind("the update would ");
    if (at != std::string::npos)
      r.predicted = report.compare(at, 24, "the update would succeed") == 0
                        ? 0
                        : atoi(report.c_str() + at + 23);
  } else {
    r.check_exit = Exec({"--check", "--json", upd, apply_to}, &report);
    // A report that does not parse predicts nothing, and so mispredicts.
    const nlohmann::json json = nlohmann::json::parse(report, nullptr, false);
    if (json.is_object() && json.contains("result") && json["result"].is_number_integer())
      r.predicted = json["result"].get<int>();
  }
  r.changed = testing_util::DiffSnapshots(before, testing_util::SnapshotTree(base));
  r.run_exit = Exec({upd, apply_to}, nullptr);
  r.got = StatusCode(testing_util::ReadFile(upd + "/update.status"));
  // An unconditional patch that is broken fails the run however the check
  // and the run agree.
  r.must_fail = std::any_of(k.acts.begin(), k.acts.end(),
                            [](const Act& a) { return a.kind == kPatch && a.patch.broken; });
  return r;
}

}  // namespace diff_case
