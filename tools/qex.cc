// qex: creates and inspects QEX update archives. A thin program over the
// archive library; see `qex --help`.
#include "archive/qex.h"

#include <dirent.h>
#include <getopt.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive_reader.h"
#include "archive/qex_format.h"
#include "archive/qex_sign.h"
#include "base/tool_fail.h"

namespace {

const char kUsage[] =
    "Usage: qex COMMAND [OPTIONS] ARCHIVE [PATH...]\n"
    "Creates and inspects QEX update archives.\n"
    "\n"
    "Commands:\n"
    "  create ARCHIVE PATH...  store files with a product information block; a\n"
    "                          directory PATH stores the regular files below it\n"
    "  list ARCHIVE            one line per entry: mode, stored size, name\n"
    "  extract ARCHIVE         write every entry to a file below the directory\n"
    "  info ARCHIVE [PUB...]   signatures, additional blocks, product information,\n"
    "                          the kind of update and the version it updates from\n"
    "  refresh ARCHIVE         replace the product information in place\n"
    "  sign ARCHIVE KEY...     replace the signatures with one by each Ed25519\n"
    "                          private key (PEM files, at most 8)\n"
    "  verify ARCHIVE PUB...   check the signatures against Ed25519 public keys\n"
    "                          (PEM files); info takes them too\n"
    "\n"
    "Options:\n"
    "  -c, --channel NAME          channel of the archive (create, refresh; at most\n"
    "                              63 bytes)\n"
    "  -p, --product-version VER   product version (create, refresh; at most 31 bytes)\n"
    "  -a, --app-id ID             application id (create; refresh of an archive\n"
    "                              that has one): letters, digits, - _ . (qex(5))\n"
    "  -j, --bzip2                 create: compress each file with bzip2 as it is\n"
    "                              stored, as the updater expects of every entry;\n"
    "                              extract: decompress each entry\n"
    "  -C, --directory DIR         create: read PATHs relative to DIR;\n"
    "                              extract: write below DIR (created if missing)\n"
    "  -h, --help                  show this text\n"
    "  -V, --version               show the program's version\n"
    "\n"
    "Entry names are the PATHs as given (a leading \"./\" dropped), with \"/\" as\n"
    "separator; files below a directory PATH are named PATH/relative-path, or just\n"
    "relative-path for \".\". Names must be relative and free of \"..\".\n"
    "Exit status 0 on success, 1 on any failure.\n";

#ifndef QEX_VERSION
#define QEX_VERSION "unknown"
#endif

struct Options {
  const char* channel = nullptr;
  const char* version = nullptr;
  const char* app_id = nullptr;
  const char* directory = nullptr;
  bool bzip2 = false;
};

constexpr char kProgram[] = "qex";

const char* DescribeExtraction(int code) {
  switch (code) {
    case 6:
      return "cannot read its stored bytes";
    case 7:
      return "cannot write the file";
    case 39:
      return "not a valid bzip2 stream";
    case 40:
      return "stored length is 0";
    default:
      return "failure";
  }
}

std::string EntryName(std::string path) {
  while (path.compare(0, 2, "./") == 0) path.erase(0, 2);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Adds the regular files below `dir` in name order; other kinds are skipped
// with a warning, since an entry can only hold a file's bytes.
int AddDirectory(const std::string& dir, const std::string& prefix,
                 std::vector<std::string>* names) {
  DIR* d = opendir(dir.c_str());
  if (!d) return ToolFail(kProgram, "cannot read directory %s: %s", dir.c_str(), strerror(errno));
  std::vector<std::string> children;
  while (dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) children.push_back(e->d_name);
  }
  closedir(d);
  std::sort(children.begin(), children.end());
  for (const std::string& child : children) {
    std::string path = dir + "/" + child;
    std::string name = prefix.empty() ? child : prefix + "/" + child;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
      return ToolFail(kProgram, "cannot examine %s: %s", path.c_str(), strerror(errno));
    if (S_ISDIR(st.st_mode)) {
      if (AddDirectory(path, name, names) != 0) return 1;
    } else if (S_ISREG(st.st_mode)) {
      names->push_back(name);
    } else {
      fprintf(stderr, "qex: skipping %s: not a regular file\n", path.c_str());
    }
  }
  return 0;
}

int CheckProductOptions(const Options& opt) {
  if (!opt.channel || !opt.version)
    return ToolFail(kProgram, "--channel and --product-version are required");
  if (strlen(opt.channel) > kQexMaxChannelLength) {
    return ToolFail(kProgram, "channel is longer than %d bytes", kQexMaxChannelLength);
  }
  if (strlen(opt.version) > kQexMaxVersionLength) {
    return ToolFail(kProgram, "product version is longer than %d bytes", kQexMaxVersionLength);
  }
  if (opt.app_id && !qex_app_id_is_valid(opt.app_id)) {
    return ToolFail(kProgram, "invalid application id: %s", opt.app_id);
  }
  return 0;
}

ProductInfo InfoOf(const Options& opt) {
  return ProductInfo{const_cast<char*>(opt.channel), const_cast<char*>(opt.version),
                     const_cast<char*>(opt.app_id)};
}

int Create(const Options& opt, const char* archive, int count, char** paths) {
  if (CheckProductOptions(opt) != 0) return 1;
  if (count == 0) return ToolFail(kProgram, "create: no files given");
  // The archive path is taken as given, before changing to the directory.
  char cwd[PATH_MAX];
  if (!getcwd(cwd, sizeof(cwd)))
    return ToolFail(kProgram, "cannot determine the current directory");
  std::string dest = archive[0] == '/' ? archive : std::string(cwd) + "/" + archive;
  if (opt.directory && chdir(opt.directory) != 0) {
    return ToolFail(kProgram, "cannot change to %s: %s", opt.directory, strerror(errno));
  }
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) {
    std::string name = EntryName(paths[i]);
    struct stat st;
    if (stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      if (AddDirectory(name, name == "." ? "" : name, &names) != 0) return 1;
    } else {
      names.push_back(name);
    }
  }
  // An archive that already exists among the sources would be read while it
  // is being rewritten.
  struct stat dest_st;
  if (stat(dest.c_str(), &dest_st) == 0) {
    names.erase(std::remove_if(names.begin(), names.end(),
                               [&](const std::string& name) {
                                 struct stat st;
                                 bool same = stat(name.c_str(), &st) == 0 &&
                                             st.st_dev == dest_st.st_dev &&
                                             st.st_ino == dest_st.st_ino;
                                 if (same) fprintf(stderr, "qex: skipping %s itself\n", archive);
                                 return same;
                               }),
                names.end());
  }
  if (names.empty()) return ToolFail(kProgram, "create: no regular files to store");
  std::set<std::string> seen;
  std::vector<QexSource> sources;
  for (const std::string& name : names) {
    if (!qex_entry_name_is_safe(name.c_str())) {
      return ToolFail(kProgram, "%s: entry names must be relative and without \"..\"",
                      name.c_str());
    }
    if (!seen.insert(name).second) return ToolFail(kProgram, "%s is given twice", name.c_str());
    sources.push_back(QexSource{name.c_str(), name.c_str()});
  }
  ProductInfo info = InfoOf(opt);
  if (qex_create_archive_ex(dest.c_str(), static_cast<int>(sources.size()), sources.data(), &info,
                            opt.bzip2 ? QEX_STORE_BZIP2 : QEX_STORE_RAW) != 0) {
    return ToolFail(kProgram, "could not create %s", archive);
  }
  return 0;
}

// The entries in the order of their stored bytes, each name once (the first,
// which is the one a reader finds).
std::vector<QexEntry*> EntriesInOrder(QexArchive* archive) {
  std::vector<QexEntry*> entries;
  qex_for_each_entry(
      archive,
      [](QexArchive* a, QexEntry* e, void* out) {
        if (qex_find_entry(a, e->name) == e)
          static_cast<std::vector<QexEntry*>*>(out)->push_back(e);
        return 0;
      },
      &entries);
  // Records that share their bytes come by name.
  std::sort(entries.begin(), entries.end(), [](const QexEntry* x, const QexEntry* y) {
    return x->offset != y->offset ? x->offset < y->offset : strcmp(x->name, y->name) < 0;
  });
  return entries;
}

QexArchive* OpenArchive(const char* path) {
  QexArchive* archive = qex_open(path);
  if (!archive) ToolFail(kProgram, "%s is not a readable QEX archive", path);
  return archive;
}

int List(const char* path) {
  QexArchive* archive = OpenArchive(path);
  if (!archive) return 1;
  for (const QexEntry* e : EntriesInOrder(archive)) {
    printf("%04o %10u %s\n", e->flags & kQexPermissionMask, e->length, e->name);
  }
  qex_close(archive);
  return 0;
}

// Through `reader` (open on the same archive) when it is given, else the
// stored bytes unchanged.
int ExtractOne(QexArchive* archive, QexEntry* entry, ArchiveReader* reader) {
  if (qex_prepare_entry_path(entry->name) != 0)
    return ToolFail(kProgram, "refused entry %s", entry->name);
  if (reader) {
    int rv = reader->ExtractToFile(entry->name, entry->name);
    if (rv != 0)
      return ToolFail(kProgram, "cannot extract %s: %s", entry->name, DescribeExtraction(rv));
  } else if (qex_test_callback(archive, entry, nullptr) != 0) {
    return ToolFail(kProgram, "cannot extract %s", entry->name);
  }
  // Exactly the stored permission bits, whatever the umask.
  if (chmod(entry->name, entry->flags & kQexPermissionMask) != 0) {
    return ToolFail(kProgram, "cannot set the mode of %s: %s", entry->name, strerror(errno));
  }
  return 0;
}

int Extract(const Options& opt, const char* path) {
  char* absolute = realpath(path, nullptr);
  if (!absolute) return ToolFail(kProgram, "cannot open %s: %s", path, strerror(errno));
  std::string archive_path = absolute;
  free(absolute);
  QexArchive* archive = OpenArchive(path);
  if (!archive) return 1;
  int rv = 0;
  ArchiveReader reader;
  if (opt.bzip2 && reader.Open(archive_path.c_str()) != 0) {
    rv = ToolFail(kProgram, "cannot open %s for extraction", path);
  }
  if (rv == 0 && opt.directory) {
    if (mkdir(opt.directory, 0755) != 0 && errno != EEXIST) {
      rv = ToolFail(kProgram, "cannot create %s: %s", opt.directory, strerror(errno));
    } else if (chdir(opt.directory) != 0) {
      rv = ToolFail(kProgram, "cannot change to %s: %s", opt.directory, strerror(errno));
    }
  }
  if (rv == 0) {
    for (QexEntry* e : EntriesInOrder(archive)) {
      rv = ExtractOne(archive, e, opt.bzip2 ? &reader : nullptr);
      if (rv != 0) break;
    }
  }
  qex_close(archive);
  return rv;
}

const char* AlgorithmName(uint32_t algorithm) {
  return algorithm == QEX_SIGNATURE_ED25519 ? "Ed25519" : "unknown algorithm";
}

// ReportSignatures' result when a key file cannot be read (already reported).
constexpr int kKeysUnreadable = QEX_UNREADABLE + 1;

// Prints one line per signature of `path` and whether one of the public keys
// in the files `keys[0..key_count)` verifies it. Returns the archive's
// QexVerifyResult against all of them together.
int ReportSignatures(const char* path, int key_count, char** keys) {
  QexSignatureCheck checks[kQexMaxSignatures];
  uint32_t count = 0;
  int rv = qex_verify_archive(path, nullptr, checks, &count);
  std::vector<std::string> by(count);
  for (int k = 0; k < key_count && (rv == QEX_NOT_VERIFIED || rv == QEX_VERIFIED); ++k) {
    QexKeys set(qex_read_public_keys(keys[k]));
    if (!set) {
      ToolFail(kProgram, "cannot read %s: %s", keys[k], strerror(errno));
      return kKeysUnreadable;
    }
    if (qex_key_count(set.get()) == 0)
      fprintf(stderr, "qex: %s holds no Ed25519 public key\n", keys[k]);
    QexSignatureCheck found[kQexMaxSignatures];
    if (qex_verify_archive(path, set.get(), found, &count) == QEX_VERIFIED) rv = QEX_VERIFIED;
    for (uint32_t i = 0; i < count; ++i) {
      if (found[i].key >= 0 && by[i].empty()) by[i] = keys[k];
    }
  }
  for (uint32_t i = 0; i < count; ++i) {
    printf("signature %u: %s (%u), %u bytes: %s%s\n", i + 1, AlgorithmName(checks[i].algorithm),
           checks[i].algorithm, checks[i].length,
           !by[i].empty() ? "verified by "
           : key_count    ? "not verified"
                          : "not checked (no key)",
           by[i].c_str());
  }
  if (rv == QEX_MALFORMED) fprintf(stderr, "qex: %s: the signature area is damaged\n", path);
  if (rv == QEX_UNREADABLE) fprintf(stderr, "qex: cannot read %s: %s\n", path, strerror(errno));
  return rv;
}

int Sign(const char* path, int key_count, char** keys) {
  if (key_count == 0) return ToolFail(kProgram, "sign: no key given");
  QexKeys set(qex_read_private_keys(key_count, keys));
  if (!set) return 1;
  int rv = qex_sign_archive(path, set.get());
  return rv == 0 ? 0 : ToolFail(kProgram, "could not sign %s", path);
}

int Verify(const char* path, int key_count, char** keys) {
  if (key_count == 0) return ToolFail(kProgram, "verify: no public key given");
  int rv = ReportSignatures(path, key_count, keys);
  if (rv == QEX_VERIFIED) {
    printf("%s: verified\n", path);
    return 0;
  }
  if (rv == QEX_UNSIGNED) return ToolFail(kProgram, "%s is not signed", path);
  if (rv == QEX_NOT_VERIFIED)
    return ToolFail(kProgram, "%s: no signature verifies with the given keys", path);
  return 1;
}

// The head of the manifest is all that says what kind of update it is: the
// decoding stops once this much is kept.
constexpr size_t kManifestHead = 64 * 1024;

ssize_t KeepManifestHead(void* cookie, const char* buf, size_t size) {
  auto* head = static_cast<std::string*>(cookie);
  if (head->size() >= kManifestHead) return -1;
  head->append(buf, std::min(size, kManifestHead - head->size()));
  return static_cast<ssize_t>(size);
}

// The kind of update, as the updater reads it from the manifest (complete
// only with a first line type "complete"), and the version it updates from
// when make-update recorded it ("# from version A to B" before that line).
std::string DescribeUpdate(const char* path) {
  ArchiveReader reader;
  if (reader.Open(path) != 0) return "unknown (cannot open the archive)";
  const char* name = reader.HasEntry("updatev3.manifest")   ? "updatev3.manifest"
                     : reader.HasEntry("updatev2.manifest") ? "updatev2.manifest"
                                                            : nullptr;
  if (!name) return "none (no manifest)";
  std::string head;
  FILE* fp =
      fopencookie(&head, "w", cookie_io_functions_t{nullptr, KeepManifestHead, nullptr, nullptr});
  if (!fp) return "unknown (no memory)";
  reader.ExtractToStream(name, fp);
  fclose(fp);
  if (head.empty()) return "unknown (the manifest cannot be decoded)";
  std::string from;
  size_t at = 0;
  while (at < head.size() && (head[at] == '#' || head[at] == '\r' || head[at] == '\n')) {
    size_t end = head.find_first_of("\r\n", at);
    std::string line = head.substr(at, end == std::string::npos ? end : end - at);
    const std::string mark = "# from version ";
    if (line.compare(0, mark.size(), mark) == 0) {
      from = line.substr(mark.size(), line.find(' ', mark.size()) - mark.size());
    }
    at = end == std::string::npos ? head.size() : end + 1;
  }
  const std::string type_line = "type \"complete\"";
  at = head.find_first_not_of(" \t", at);
  const bool complete =
      at != std::string::npos && head.compare(at, type_line.size(), type_line) == 0;
  return std::string(complete ? "complete" : "partial") +
         (from.empty() ? "" : ", from version " + from);
}

int Info(const char* path, int info_key_count, char** info_keys) {
  int has_signatures, has_blocks;
  uint32_t signature_count = 0, blocks_offset = 0, block_count = 0;
  if (get_qex_file_info(path, &has_signatures, &signature_count, &has_blocks, &blocks_offset,
                        &block_count) != 0) {
    return ToolFail(kProgram, "%s: cannot read the signature and block information", path);
  }
  QexArchive* archive = OpenArchive(path);
  if (!archive) return 1;
  std::vector<QexEntry*> entries = EntriesInOrder(archive);
  // Records that share their bytes count them once.
  std::set<std::pair<uint32_t, uint32_t>> ranges;
  uint64_t stored = 0;
  for (const QexEntry* e : entries) {
    if (ranges.emplace(e->offset, e->length).second) stored += e->length;
  }

  printf("layout: %s\n", has_signatures ? "with a signature area" : "short (no signature area)");
  printf("signatures: %u\n", signature_count);
  if (signature_count > 0 && ReportSignatures(path, info_key_count, info_keys) == kKeysUnreadable) {
    return 1;
  }
  if (has_blocks) {
    printf("additional blocks: %u, from offset %u\n", block_count, blocks_offset);
  } else {
    printf("additional blocks: none\n");
  }
  ProductInfo info;
  if (qex_read_product_info(archive, &info) == 0) {
    printf("channel: %s\nproduct version: %s\n", info.channel_id, info.product_version);
    if (info.app_id) printf("application id: %s\n", info.app_id);
    qex_free_product_info(&info);
  } else {
    printf("product information: none\n");
  }
  printf("update: %s\n", DescribeUpdate(path).c_str());
  printf("entries: %zu, %llu stored bytes\n", entries.size(),
         static_cast<unsigned long long>(stored));
  qex_close(archive);
  return 0;
}

int Refresh(const Options& opt, const char* path) {
  if (CheckProductOptions(opt) != 0) return 1;
  ProductInfo info = InfoOf(opt);
  if (qex_refresh_product_info(path, &info) != 0)
    return ToolFail(kProgram, "could not refresh %s", path);
  return 0;
}

int Usage() {
  fputs(kUsage, stderr);
  return 1;
}

int Main(int argc, char** argv) {
  static const option kLongOptions[] = {
      {"channel", required_argument, nullptr, 'c'},
      {"product-version", required_argument, nullptr, 'p'},
      {"app-id", required_argument, nullptr, 'a'},
      {"bzip2", no_argument, nullptr, 'j'},
      {"directory", required_argument, nullptr, 'C'},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0},
  };
  if (argc < 2) return Usage();
  // The command comes first; options may follow anywhere after it.
  const std::string command = argv[1][0] == '-' ? "" : argv[1];
  if (!command.empty()) {
    --argc;
    ++argv;
  }
  Options opt;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":c:p:a:jC:hV", kLongOptions, nullptr)) != -1) {
    switch (c) {
      case 'c':
        opt.channel = optarg;
        break;
      case 'p':
        opt.version = optarg;
        break;
      case 'a':
        opt.app_id = optarg;
        break;
      case 'j':
        opt.bzip2 = true;
        break;
      case 'C':
        opt.directory = optarg;
        break;
      case 'h':
        fputs(kUsage, stdout);
        return 0;
      case 'V':
        printf("qex %s\n", QEX_VERSION);
        return 0;
      case ':':
        return ToolFail(kProgram, "option %s needs an argument", argv[optind - 1]);
      default:
        return ToolFail(kProgram, "unknown option %s (see qex --help)", argv[optind - 1]);
    }
  }
  int operands = argc - optind;
  char** args = argv + optind;
  if (command == "create") {
    if (operands < 1) return ToolFail(kProgram, "create: no archive given");
    return Create(opt, args[0], operands - 1, args + 1);
  }
  if (operands >= 1 && command == "sign") return Sign(args[0], operands - 1, args + 1);
  if (operands >= 1 && command == "verify") return Verify(args[0], operands - 1, args + 1);
  if (operands >= 1 && command == "info") return Info(args[0], operands - 1, args + 1);
  if (command != "list" && command != "extract" && command != "info" && command != "refresh" &&
      command != "sign" && command != "verify") {
    if (command.empty()) return Usage();
    return ToolFail(kProgram, "unknown command %s (see qex --help)", command.c_str());
  }
  if (operands != 1) return ToolFail(kProgram, "%s: give exactly one archive", command.c_str());
  if (command == "list") return List(args[0]);
  if (command == "extract") return Extract(opt, args[0]);
  return Refresh(opt, args[0]);
}

}  // namespace

int main(int argc, char** argv) { return Main(argc, argv); }
