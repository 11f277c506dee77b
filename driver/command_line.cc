#include "driver/command_line.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/json.h"
#include "driver/run.h"
#include "driver/status.h"
#include "driver/swap.h"
#include "fileops/fileops.h"

namespace {

constexpr const char kUsage[] =
    "Usage: updater update-dir apply-to-dir [wait-pid [callback-working-dir callback-path "
    "args...]]\n"
    "       updater --check [--json] update-dir apply-to-dir\n";
constexpr const char kCheckUsage[] = "Usage: updater --check [--json] update-dir apply-to-dir\n";

// Prefixes a relative path with the starting directory, so that paths formed
// after the change into the apply-to directory still name the same place.
// False when the result does not fit.
bool MakeAbsolute(const char* in, char* out, size_t size) {
  if (in[0] == '/') {
    int n = snprintf(out, size, "%s", in);
    return n >= 0 && static_cast<size_t>(n) < size;
  }
  char cwd[kMaxPath];
  if (!getcwd(cwd, sizeof(cwd))) return false;
  int n = snprintf(out, size, "%s/%s", strcmp(cwd, "/") ? cwd : "", in);
  return n >= 0 && static_cast<size_t>(n) < size;
}

// The absolute path `path` with every link and "." or ".." of its existing
// part resolved; what does not exist yet is appended as written.
std::string Resolved(const std::string& path) {
  if (char* real = realpath(path.c_str(), nullptr)) {
    std::string r = real;
    free(real);
    return r;
  }
  size_t slash = path.find_last_of('/');
  if (errno != ENOENT || slash == std::string::npos || slash == 0) return path;
  std::string parent = Resolved(path.substr(0, slash));
  return (parent == "/" ? "" : parent) + path.substr(slash);
}

// True when `inner` is `outer` or lies below it. Both resolved first, so that
// "<dir>2" and "<dir>.bak" are never taken for "<dir>".
bool Within(const char* inner, const char* outer) {
  std::string in = Resolved(inner), out = Resolved(outer);
  if (out == "/") return true;
  return in == out || in.compare(0, out.size() + 1, out + "/") == 0;
}

bool IsEmptyDirectory(const char* path) {
  DIR* dir = opendir(path);
  if (!dir) return false;
  int entries = 0;
  while (readdir(dir)) ++entries;
  closedir(dir);
  return entries == 2;  // "." and ".."
}

bool StatusIsApplied(const Run& run) {
  char path[kMaxPath];
  if (!join_path(path, run.updateDir, "update.status")) return false;
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  char text[sizeof(kStatusApplied)] = {};
  struct stat st;
  ssize_t got = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? read(fd, text, sizeof(text)) : -1;
  close(fd);
  return got == static_cast<ssize_t>(sizeof(kStatusApplied) - 1) &&
         memcmp(text, kStatusApplied, got) == 0;
}

int Refuse(const char* what, const char* path) {
  fprintf(stderr, "updater: %s: %s\n", what, path);
  return 1;
}

// A staged update deletes its apply-to directory and a replace request deletes
// the installation's former place: refuses what either would destroy that the
// updater did not make. 0 when the run may go on, else 1 after the message.
int RefuseDestructiveTargets(const Run& run) {
  if (!run.hasInstallDir) {
    fputs("Could not get the installation directory\n", stderr);
    return 1;
  }
  const char* installDir = run.installDir;
  const char* applyToDir = run.applyToDir;
  if (!run.isStagedUpdate && !run.isReplaceRequest) return 0;
  if (installDir[0] == '\0') {
    return Refuse("the installation directory would be the file system root", applyToDir);
  }
  struct stat st;
  if (run.isStagedUpdate) {
    if (Within(run.updateDir, applyToDir)) {
      return Refuse("a staged update replaces its apply-to directory, which holds the update",
                    applyToDir);
    }
    const char* name = strrchr(applyToDir, '/') + 1;
    if (lstat(applyToDir, &st) == 0 && !(S_ISDIR(st.st_mode) && !strcmp(name, "updated")) &&
        !IsEmptyDirectory(applyToDir)) {
      return Refuse(
          "a staged update replaces only an earlier staged copy (\"updated\") or an empty "
          "directory",
          applyToDir);
    }
    return 0;
  }
  char path[kMaxPath];
  int n = snprintf(path, sizeof(path), "%s.bak", installDir);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(path)) {
    return Refuse("the installation directory path is too long", installDir);
  }
  // What an interrupted request left is its own: recovery finishes or undoes it.
  if (ResumesSwap(installDir)) return 0;
  if (lstat(path, &st) == 0) {
    return Refuse("a replace request moves the installation to a new name, which is taken", path);
  }
  if (join_path(path, installDir, "updated") && lstat(path, &st) == 0 &&
      (!S_ISDIR(st.st_mode) || (!StatusIsApplied(run) && !StagedCopyAccepted(installDir)))) {
    return Refuse("not a staged copy of this update directory (its status is not \"applied\")",
                  path);
  }
  return 0;
}

// Refuses the check's arguments: `message` on standard error and, with
// --json, a report on standard output that says so, for a program that reads
// only that.
CommandLineResult RefuseCheck(const Run& run, const std::string& message) {
  fputs(message.c_str(), stderr);
  std::string text;
  if (run.json &&
      JsonText({{"would_succeed", false}, {"result", nullptr}, {"error", message}}, &text)) {
    fputs(text.c_str(), stdout);
  }
  return CommandLineResult::kExitFailure;
}

// "--check [--json] update-dir apply-to-dir", from argv[2] on.
CommandLineResult ReadCheckArguments(int argc, char** argv, Run* run) {
  run->check = true;
  const char* dirs[2];
  int found = 0;
  for (int i = 2; i < argc; i++) {
    if (strcmp(argv[i], "--json") == 0) {
      run->json = true;
    } else if (found < 2) {
      dirs[found++] = argv[i];
    } else {
      found = 3;
    }
  }
  if (found != 2) return RefuseCheck(*run, kCheckUsage);
  // The manifest's path rules look at where links in the apply-to directory
  // lead, so the check works on what the paths resolve to. The apply-to
  // directory need not exist: the run makes it, or fails, and the check
  // says which.
  char* update = realpath(dirs[0], nullptr);
  if (!update) {
    return RefuseCheck(
        *run, std::string("updater: cannot check ") + dirs[0] + ": " + strerror(errno) + "\n");
  }
  char absolute[kMaxPath];
  std::string apply_to;
  if (MakeAbsolute(dirs[1], absolute, sizeof(absolute))) {
    size_t length = strlen(absolute);
    if (length > 1 && absolute[length - 1] == '/') absolute[length - 1] = '\0';
    apply_to = Resolved(absolute);
  }
  bool fits = !apply_to.empty() && strlen(update) < sizeof(run->updateDir) &&
              apply_to.size() < sizeof(run->applyToDir);
  if (fits) {
    snprintf(run->updateDir, sizeof(run->updateDir), "%s", update);
    snprintf(run->applyToDir, sizeof(run->applyToDir), "%s", apply_to.c_str());
  }
  free(update);
  if (!fits) {
    return RefuseCheck(*run, std::string("updater: cannot check against ") + dirs[1] + ": " +
                                 strerror(ENAMETOOLONG) + "\n");
  }
  run->ComputeInstallDir();
  return CommandLineResult::kRun;
}

}  // namespace

CommandLineResult ReadCommandLine(int argc, char** argv, Run* run) {
  run->programName = argc > 0 ? argv[0] : "updater";
  run->isOsUpdate = getenv("QUIL_OS_UPDATE") != nullptr;
  if (argc > 1 && strcmp(argv[1], "--check") == 0) return ReadCheckArguments(argc, argv, run);
  if (argc == 2 && (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h"))) {
    fputs(kUsage, stdout);
    return CommandLineResult::kExitSuccess;
  }
  if (argc == 2 && (!strcmp(argv[1], "--version") || !strcmp(argv[1], "-V"))) {
    puts("updater " UPDATER_VERSION);
    return CommandLineResult::kExitSuccess;
  }
  if (argc < 3) {
    fputs(kUsage, stderr);
    return CommandLineResult::kExitFailure;
  }
  for (int i = 1; i <= 2; ++i) {
    // An option given by mistake would otherwise become a directory of that name.
    if (argv[i][0] == '-' || argv[i][0] == '\0') {
      Refuse("not a directory name (empty or beginning with \"-\")", argv[i]);
      fputs(kUsage, stderr);
      return CommandLineResult::kExitFailure;
    }
  }

  // Checked before the copy, which would otherwise cut the path silently.
  char applyTo[kMaxPath];
  int n = snprintf(applyTo, sizeof(applyTo), "%s", argv[2]);
  char* slash = strrchr(applyTo, '/');
  if (slash && slash[1] == '\0' && slash != applyTo) *slash = '\0';
  if (n < 0 || static_cast<size_t>(n) >= sizeof(applyTo) ||
      !MakeAbsolute(argv[1], run->updateDir, sizeof(run->updateDir)) ||
      !MakeAbsolute(applyTo, run->applyToDir, sizeof(run->applyToDir))) {
    fputs("updater: the update or apply-to directory path is too long\n", stderr);
    return CommandLineResult::kExitFailure;
  }

  run->waitPid = 0;
  if (argc > 3) {
    run->waitPid = atoi(argv[3]);
    if (run->waitPid == -1) {
      run->isStagedUpdate = true;
    } else if (strstr(argv[3], "/replace")) {
      run->isReplaceRequest = true;
    }
  }
  if (argc > 5) {
    run->callbackDir = argv[4];
    run->callbackArgv.assign(argv + 5, argv + argc);
  }
  run->noCallback = getenv("QUIL_PROCESS_UPDATES") != nullptr;
  run->noReplaceFallback = getenv("QUIL_NO_REPLACE_FALLBACK") != nullptr;
  run->ComputeInstallDir();
  return RefuseDestructiveTargets(*run) == 0 ? CommandLineResult::kRun
                                             : CommandLineResult::kExitFailure;
}
