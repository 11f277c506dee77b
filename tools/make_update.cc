// make-update: builds update.qex from an old and a new installation tree.
#include "builder/make_update.h"

#include <getopt.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <string>

#include "archive/qex.h"
#include "builder/release.h"

namespace {

void PrintUsage(FILE* out) {
  fprintf(out,
          "usage: make-update [options] --product-version VERSION OLD_DIR NEW_DIR\n"
          "       make-update [options] --product-version VERSION --full [OLD_DIR] NEW_DIR\n"
          "       make-update --first-install --product-version VERSION [--app-id ID] DIR\n"
          "       make-update release [options] NEW_DIR OLD_DIR=VERSION...\n"
          "       make-update release-feed [options] --from VERSION...\n"
          "\n"
          "Writes an update archive that turns the installation OLD_DIR into NEW_DIR.\n"
          "A partial update (the default) patches each changed file where the\n"
          "bzip2-compressed patch is smaller than the compressed file, adds new and\n"
          "otherwise changed files, removes files and directories that are gone, and\n"
          "leaves unchanged files out. A complete update (--full) adds every file of\n"
          "NEW_DIR and removes whatever the installation's \"precomplete\" file lists.\n"
          "Both kinds install a new \"precomplete\" file listing the files and\n"
          "directories of NEW_DIR, so that the next complete update cleans up.\n"
          "They also install \"product-version\", one line holding VERSION, which\n"
          "the updater reads to refuse an update older than the installation.\n"
          "With --first-install, no archive is written: both files are written\n"
          "into the release tree DIR, for the installer of a first release to lay\n"
          "down, so that the first complete update removes what it drops.\n"
          "\n"
          "options:\n"
          "  -o, --output FILE     the archive to write (default: update.qex)\n"
          "  -p, --product-version VERSION\n"
          "                        product version stored in the archive (required,\n"
          "                        at most 31 bytes; --version VERSION is the old\n"
          "                        spelling)\n"
          "  --from-version VERSION\n"
          "                        the product version of OLD_DIR: recorded in the\n"
          "                        manifest, and a warning when VERSION is not newer\n"
          "  -c, --channel NAME    update channel stored in the archive (default:\n"
          "                        release, at most 63 bytes)\n"
          "  --app-id ID           the application the archive belongs to, stored in\n"
          "                        the archive and as the second line of\n"
          "                        product-version (letters, digits, - _ . ; at\n"
          "                        most 127 bytes, e.g. org.example.app)\n"
          "  --full                a complete update instead of a partial one\n"
          "  --first-install       write precomplete and product-version into DIR\n"
          "  --copy-links          for installations whose updater predates the\n"
          "                        addlink and adddir lines: store each symbolic\n"
          "                        link to a regular file as a copy of that file,\n"
          "                        leave dangling links and empty directories out\n"
          "                        (a link that names the same file of the tree in\n"
          "                        both versions stays as it is; any other link, and\n"
          "                        one leading outside the tree, is refused).\n"
          "                        Without it, links travel as links (their target\n"
          "                        text, exactly) and empty directories with their\n"
          "                        modes, and such an archive needs an updater that\n"
          "                        knows those lines: an older one fails with 5 and\n"
          "                        rolls back\n"
          "  --verify              apply the archive with the updater to a scratch\n"
          "                        copy of OLD_DIR and compare the result with NEW_DIR\n"
          "                        (contents, modes, link targets); the updater runs\n"
          "                        with umask 0 and no window; every difference is\n"
          "                        printed and the updated copy kept in FILE.verify.\n"
          "                        A private copy of the updater runs, trusting only\n"
          "                        the public halves of the --sign keys (without\n"
          "                        --sign, it applies the archive unverified) and\n"
          "                        accepting any channel: the keys and settings files\n"
          "                        beside the updater (PATH.keys, PATH.ini) are never\n"
          "                        read. With --sign, OLD_DIR must hold\n"
          "                        product-version, as a signed installation must\n"
          "  --updater PATH        the updater program for --verify (default: the\n"
          "                        updater beside make-update or one directory up)\n"
          "  --sign KEY.pem        sign the archive with this Ed25519 private key\n"
          "                        (repeatable, at most 8 keys; for key rotation)\n"
          "  -j, --jobs N          compress and diff on N threads (default: one per\n"
          "                        processor)\n"
          "  -q, --quiet           print problems only (no notes, no progress line)\n"
          "  --json FILE           write a summary for machines to FILE (- for\n"
          "                        standard output), on failure too\n"
          "  -h, --help            show this text\n"
          "  -V, --version         show the program's version\n"
          "\n"
          "The manifest cannot express special files other than symbolic links, or\n"
          "names holding \"..\", a double quote or a line break; such objects are\n"
          "named and refused.\n"
          "On a terminal a progress line on standard error follows the work.\n"
          "Exit status: 0 when the archive was written (and verified), 3 when the two\n"
          "trees hold the same files (nothing to update), 1 otherwise.\n"
          "make-update release --help describes the release builder.\n");
}

void PrintReleaseUsage(FILE* out) {
  fprintf(out,
          "usage: make-update release [options] NEW_DIR [OLD_DIR=VERSION...]\n"
          "       make-update release-feed [options] [--from VERSION...]\n"
          "\n"
          "Builds the complete archive of NEW_DIR and one partial archive from each\n"
          "OLD_DIR, signs and checks each, puts them in the output directory as\n"
          "VERSION/complete.qex and VERSION/from-OLD.qex, and writes or extends the\n"
          "signed feed CHANNEL.json (with CHANNEL.json.sig) that offers them. An\n"
          "existing feed must verify with the --sign keys; its other releases stay,\n"
          "an entry of the same version is replaced. With --emit-jobs, nothing is\n"
          "built: one shell command per archive goes to FILE, and release-feed,\n"
          "run once the jobs are done, checks their archives and writes the feed.\n"
          "\n"
          "options:\n"
          "  -p, --product-version VERSION   the new version (required)\n"
          "  --app-id ID           the application (required)\n"
          "  -c, --channel NAME    the channel and the feed's name (default: release)\n"
          "  --sign KEY.pem        Ed25519 private key (required; repeatable, up to 8)\n"
          "  -o, --output-dir DIR  where the archives and the feed go (required)\n"
          "  -j, --jobs N          build N archives at once (default: 1)\n"
          "  --threads N           worker threads of each build (default: 1)\n"
          "  --verify              apply each archive to a copy of its old tree (the\n"
          "                        complete one to the first) and compare\n"
          "  --updater PATH        the updater for --verify\n"
          "  --copy-links          as for a single archive\n"
          "  --expires-in DAYS     the feed expires DAYS after now (default: 30)\n"
          "  --rollout PERCENT     offer the release to PERCENT of machines (100)\n"
          "  --min-updater VERSION the lowest updater version that applies it\n"
          "  --notes-url URL       the release notes\n"
          "  --emit-jobs FILE      write the build commands instead of building\n"
          "  --from VERSION        (release-feed) an old version with a partial archive\n"
          "  -q, --quiet           print problems only\n"
          "Exit status: 0 when the archives and the feed were written, 1 otherwise.\n");
}

// The updater of the same build: beside this program or one level up.
std::string FindUpdater() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return "";
  std::string dir(self, static_cast<size_t>(n));
  dir = dir.substr(0, dir.rfind('/'));
  for (const std::string& candidate : {dir + "/updater", dir + "/../updater"}) {
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

int Usage(const char* message) {
  fprintf(stderr, "make-update: %s (see make-update --help)\n", message);
  return 1;
}

// "--version VERSION" once named the product version; "--version" alone, or
// before another option, asks for the program's version. Rewritten arguments
// are kept in `rewritten`, which argv points into from then on.
void AcceptOldVersionSpelling(int argc, char** argv, std::list<std::string>* rewritten) {
  static const char kNew[] = "--product-version";
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--") == 0) return;
    bool joined = strncmp(argv[i], "--version=", 10) == 0;
    if (!joined && (strcmp(argv[i], "--version") != 0 || i + 1 >= argc || argv[i + 1][0] == '-')) {
      continue;
    }
    fprintf(stderr, "make-update: warning: --version VERSION is now --product-version VERSION\n");
    rewritten->push_back(joined ? std::string(kNew) + (argv[i] + 9) : kNew);
    argv[i] = &rewritten->back()[0];
  }
}

bool ParseCount(const char* text, int low, int high, int* value) {
  char* end = nullptr;
  long n = strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || n < low || n > high) return false;
  *value = static_cast<int>(n);
  return true;
}

// `make-update release` and `make-update release-feed`; argv[0] names which.
int ReleaseMain(int argc, char** argv) {
  const bool feed_step = strcmp(argv[0], "release-feed") == 0;
  enum {
    kAppId = 256,
    kSign,
    kThreads,
    kVerify,
    kUpdater,
    kCopyLinks,
    kExpiresIn,
    kRollout,
    kMinUpdater,
    kNotesUrl,
    kEmitJobs,
    kFrom
  };
  static const struct option kOptions[] = {{"product-version", required_argument, nullptr, 'p'},
                                           {"app-id", required_argument, nullptr, kAppId},
                                           {"channel", required_argument, nullptr, 'c'},
                                           {"sign", required_argument, nullptr, kSign},
                                           {"output-dir", required_argument, nullptr, 'o'},
                                           {"jobs", required_argument, nullptr, 'j'},
                                           {"threads", required_argument, nullptr, kThreads},
                                           {"verify", no_argument, nullptr, kVerify},
                                           {"updater", required_argument, nullptr, kUpdater},
                                           {"copy-links", no_argument, nullptr, kCopyLinks},
                                           {"expires-in", required_argument, nullptr, kExpiresIn},
                                           {"rollout", required_argument, nullptr, kRollout},
                                           {"min-updater", required_argument, nullptr, kMinUpdater},
                                           {"notes-url", required_argument, nullptr, kNotesUrl},
                                           {"emit-jobs", required_argument, nullptr, kEmitJobs},
                                           {"from", required_argument, nullptr, kFrom},
                                           {"quiet", no_argument, nullptr, 'q'},
                                           {"help", no_argument, nullptr, 'h'},
                                           {nullptr, 0, nullptr, 0}};
  ReleaseOptions o;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, "p:c:o:j:qh", kOptions, nullptr)) != -1;) {
    switch (c) {
      case 'p':
        o.version = optarg;
        break;
      case kAppId:
        o.app_id = optarg;
        break;
      case 'c':
        o.channel = optarg;
        break;
      case kSign:
        o.sign_keys.push_back(optarg);
        break;
      case 'o':
        o.output_dir = optarg;
        break;
      case 'j':
        if (!ParseCount(optarg, 1, 256, &o.parallel)) return Usage("--jobs takes 1 to 256");
        break;
      case kThreads:
        if (!ParseCount(optarg, 1, 256, &o.threads)) return Usage("--threads takes 1 to 256");
        break;
      case kVerify:
        o.verify = true;
        break;
      case kUpdater:
        o.updater = optarg;
        break;
      case kCopyLinks:
        o.copy_links = true;
        break;
      case kExpiresIn:
        if (!ParseCount(optarg, 1, 36500, &o.expires_in_days)) {
          return Usage("--expires-in takes 1 to 36500 days");
        }
        break;
      case kRollout:
        if (!ParseCount(optarg, 0, 100, &o.rollout)) return Usage("--rollout takes 0 to 100");
        break;
      case kMinUpdater:
        o.min_updater = optarg;
        break;
      case kNotesUrl:
        o.notes_url = optarg;
        break;
      case kEmitJobs:
        o.emit_jobs = optarg;
        break;
      case kFrom:
        o.sources.push_back({"", optarg});
        break;
      case 'q':
        o.quiet = true;
        break;
      case 'h':
        PrintReleaseUsage(stdout);
        return 0;
      default:
        return Usage((std::string("unknown option or missing value: ") + argv[optind - 1]).c_str());
    }
  }
  if (feed_step) {
    if (optind != argc) return Usage("release-feed takes no trees; name versions with --from");
    return WriteReleaseFeed(o, stdout, stderr);
  }
  if (!o.sources.empty()) return Usage("--from is for release-feed; give OLD_DIR=VERSION");
  if (optind >= argc) return Usage("expected NEW_DIR [OLD_DIR=VERSION...]");
  o.new_dir = argv[optind];
  for (int i = optind + 1; i < argc; i++) {
    const char* eq = strrchr(argv[i], '=');
    if (!eq || eq == argv[i]) return Usage("an old tree is given as OLD_DIR=VERSION");
    o.sources.push_back({std::string(argv[i], static_cast<size_t>(eq - argv[i])), eq + 1});
  }
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  o.make_update = n > 0 ? std::string(self, static_cast<size_t>(n)) : "make-update";
  if (o.verify && o.updater.empty()) {
    o.updater = FindUpdater();
    if (o.updater.empty()) {
      return Usage("cannot find the updater beside make-update; name it with --updater PATH");
    }
  }
  return MakeRelease(o, stdout, stderr);
}

}  // namespace

int main(int argc, char** argv) {
  enum {
    kFull = 256,
    kFirstInstall,
    kCopyLinks,
    kVerify,
    kUpdater,
    kFromVersion,
    kJson,
    kSign,
    kAppId
  };
  static const struct option kOptions[] = {
      {"output", required_argument, nullptr, 'o'},
      {"product-version", required_argument, nullptr, 'p'},
      {"from-version", required_argument, nullptr, kFromVersion},
      {"channel", required_argument, nullptr, 'c'},
      {"app-id", required_argument, nullptr, kAppId},
      {"full", no_argument, nullptr, kFull},
      {"first-install", no_argument, nullptr, kFirstInstall},
      {"copy-links", no_argument, nullptr, kCopyLinks},
      {"verify", no_argument, nullptr, kVerify},
      {"updater", required_argument, nullptr, kUpdater},
      {"jobs", required_argument, nullptr, 'j'},
      {"quiet", no_argument, nullptr, 'q'},
      {"json", required_argument, nullptr, kJson},
      {"sign", required_argument, nullptr, kSign},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0}};
  // Each line whole, so that standard output and standard error do not
  // interleave within a line when both go to one pipe.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc > 1 && (strcmp(argv[1], "release") == 0 || strcmp(argv[1], "release-feed") == 0)) {
    return ReleaseMain(argc - 1, argv + 1);
  }
  std::list<std::string> rewritten;
  AcceptOldVersionSpelling(argc, argv, &rewritten);
  MakeUpdateOptions options;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, "o:p:c:j:qhV", kOptions, nullptr)) != -1;) {
    switch (c) {
      case 'o':
        options.output = optarg;
        break;
      case 'p':
        options.version = optarg;
        break;
      case kFromVersion:
        options.from_version = optarg;
        break;
      case kAppId:
        options.app_id = optarg;
        break;
      case 'c':
        options.channel = optarg;
        break;
      case 'q':
        options.quiet = true;
        break;
      case kJson:
        options.json = optarg;
        break;
      case 'V':
        printf("make-update %s\n", UPDATER_VERSION);
        return 0;
      case kFull:
        options.full = true;
        break;
      case kFirstInstall:
        options.first_install = true;
        break;
      case kCopyLinks:
        options.copy_links = true;
        break;
      case kVerify:
        options.verify = true;
        break;
      case kUpdater:
        options.updater = optarg;
        break;
      case kSign:
        options.sign_keys.push_back(optarg);
        break;
      case 'j': {
        char* end = nullptr;
        long jobs = strtol(optarg, &end, 10);
        if (*optarg == '\0' || *end != '\0' || jobs < 1 || jobs > 256) {
          return Usage("--jobs needs a number from 1 to 256");
        }
        options.jobs = static_cast<int>(jobs);
        break;
      }
      case 'h':
        PrintUsage(stdout);
        return 0;
      default:
        return Usage((std::string("unknown option or missing value: ") + argv[optind - 1]).c_str());
    }
  }
  int rest = argc - optind;
  if (options.first_install) {
    if (rest != 1) return Usage("--first-install expects one DIR");
    if (options.full || options.verify || !options.sign_keys.empty() || !options.json.empty()) {
      return Usage("--first-install writes no archive: no --full, --verify, --sign or --json");
    }
    options.new_dir = argv[optind];
  } else if (rest == 2) {
    options.old_dir = argv[optind];
    options.new_dir = argv[optind + 1];
  } else if (rest == 1 && options.full) {
    options.new_dir = argv[optind];
  } else {
    return Usage(options.full ? "expected [OLD_DIR] NEW_DIR" : "expected OLD_DIR NEW_DIR");
  }
  if (options.version.empty()) return Usage("--product-version is required");
  if (options.version.size() > 31) return Usage("--product-version takes at most 31 bytes");
  if (options.channel.empty() || options.channel.size() > 63) {
    return Usage("--channel takes 1 to 63 bytes");
  }
  if (!options.app_id.empty() && !qex_app_id_is_valid(options.app_id.c_str())) {
    return Usage("--app-id takes 1 to 127 letters, digits, '-', '_' or '.' (see qex(5))");
  }
  if (options.first_install) return WriteFirstInstallFiles(options, stdout, stderr);
  if (options.verify && options.updater.empty()) {
    options.updater = FindUpdater();
    if (options.updater.empty()) {
      return Usage("cannot find the updater beside make-update; name it with --updater PATH");
    }
  }
  return MakeUpdate(options, stdout, stderr);
}
