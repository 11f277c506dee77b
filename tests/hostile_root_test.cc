// Root updating an installation that belongs to an unprivileged user
// ("nobody"), who plants files in it and changes them while the interposer
// pauses the run at the call a race needs.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "archive/archive_test_util.h"
#include "testing/test_util.h"
#include "tests/updater_fixture.h"

namespace {

using testing_util::Exists;
using testing_util::SnapshotTree;
using testing_util::WriteFile;
using updater_fixture::RunOutcome;
using updater_fixture::Snapshot;

// The result codes README lists.
const std::set<int> kDocumentedCodes = {4,  5,  6,  7,  11, 12, 13, 14, 21, 22, 23, 34,
                                        39, 40, 41, 42, 50, 51, 52, 55, 60, 61, 62};
const char kSecret[] = "root's secret\n";

// The interposer stops the run before the `nth` call of kind `call` on a
// path holding `match`; `attack` (shell commands) then runs as nobody.
struct Race {
  std::string call, match;
  int nth = 1;
  std::string attack;
};

// The protected tree "p" and the program directory "bin" are root's; the
// installation "home/app" and the update "home/upd" are nobody's, in nobody's
// "home". "t" holds the test's own files.
class HostileRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || !getpwnam("nobody")) GTEST_SKIP() << "needs root and the user nobody";
    WriteFile(P("config"), "root config\n");
    WriteFile(P("secret"), kSecret, 0600);
    WriteFile(P("d1/config"), "c");
    WriteFile(P("d1/data"), "d");
    ASSERT_EQ(mkdir(T("").c_str(), 0755), 0);
    ASSERT_TRUE(update_.MakeInstallation());
    ASSERT_TRUE(update_.WriteArchive());
    ASSERT_EQ(testing_util::RunCommand("cp -a '" + inst_ + "' " + P("inst")), 0);
  }
  std::string P(const std::string& rel) const { return root_.Sub("p/" + rel); }
  std::string T(const std::string& rel) const { return root_.Sub("t/" + rel); }

  // Runs shell commands as nobody in the test's directory; their status.
  int AsNobody(const std::string& commands) const {
    WriteFile(T("nobody.sh"), "set -e\n" + commands + "\n");
    return testing_util::RunCommand("cd '" + root_.path() +
                                    "' && setpriv --reuid=65534 --regid=65534 --clear-groups "
                                    "/bin/sh t/nobody.sh");
  }
  // The owner's changes before the run, on an installation and update the
  // owner owns; then the state the run is judged against.
  void Plant(const std::string& commands) {
    ASSERT_EQ(testing_util::RunCommand("chown -hR nobody: " + root_.Sub("home") + " && rm -f " +
                                       upd_ + "/update.status " + upd_ + "/update.log"),
              0);
    ASSERT_EQ(AsNobody(commands), 0) << commands;
    outside_ = Outside();
    original_ = update_.Installation();
  }
  // `s` without the entries `names` and what lies beneath them.
  static Snapshot Without(Snapshot s, const std::set<std::string>& names) {
    for (auto it = s.begin(); it != s.end();) {
      bool named = false;
      for (const std::string& n : names)
        named |= it->first == n || it->first.rfind(n + "/", 0) == 0;
      it = named ? s.erase(it) : std::next(it);
    }
    return s;
  }
  // Everything but the user's directory and the test's own files.
  Snapshot Outside() const { return Without(SnapshotTree(root_.path()), {"home", "t"}); }
  // A file of the user's that may be a FIFO: read only when regular.
  static std::string Read(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? testing_util::ReadFile(path) : "";
  }

  // Runs the updater as root through `prefix` under the time limit; with a
  // race, paused at its call while the owner attacks.
  RunOutcome Run(const std::vector<std::string>& args, const Race& race = {},
                 const std::vector<std::string>& prefix = {}) {
    std::vector<std::string> all = {"/usr/bin/timeout", "-k", "5", std::to_string(limit_)};
    all.insert(all.end(), prefix.begin(), prefix.end());
    if (race.call.empty()) return updater_fixture::RunUpdater(args, {}, all);
    const std::string marker = T("paused");
    RunOutcome run;
    // A race that never paused tested nothing.
    EXPECT_TRUE(updater_fixture::RunDuring(
        args,
        {"LD_PRELOAD=" INTERPOSE_LIB, "UPDATER_PAUSE_CALL=" + race.call,
         "UPDATER_PAUSE_MATCH=" + race.match, "UPDATER_PAUSE_NTH=" + std::to_string(race.nth),
         "UPDATER_PAUSE_FILE=" + marker, "UPDATER_PAUSE_SECONDS=20"},
        all, [&] { return Exists(marker); },
        [&] {
          EXPECT_EQ(AsNobody(race.attack), 0) << race.attack;
          unlink(marker.c_str());
        },
        &run))
        << "no pause at " << race.call << " " << race.match;
    return run;
  }

  // Nothing outside changed, no root-only bytes reached the user, and the run
  // ended in time, either failed with a documented code or applied exactly
  // the update (but for the owner's own names `planted`).
  void Judge(const RunOutcome& run, bool staged = false,
             const std::set<std::string>& planted = {}) {
    EXPECT_EQ(testing_util::DiffSnapshots(outside_, Outside()), "") << "outside changed";
    for (const auto& [path, desc] : SnapshotTree(root_.Sub("home")))
      EXPECT_EQ(desc.find(kSecret), std::string::npos) << "root's secret in " << path;
    const std::string status = Read(update_.update_dir() + "/update.status");
    std::string log = Read(update_.update_dir() + "/update.log");
    log = "log: ..." + log.substr(log.size() > 1500 ? log.size() - 1500 : 0);
    if (run.exit_code != 0) {
      EXPECT_EQ(run.exit_code, 1) << "124 or 137: the run took over " << limit_ << " s\n" << log;
      int code = 0;
      EXPECT_TRUE(sscanf(status.c_str(), "failed: %d", &code) == 1 &&
                  kDocumentedCodes.count(code) &&
                  status == "failed: " + std::to_string(code) + "\n")
          << "status \"" << status << "\"\n"
          << run.err << log;
      return;
    }
    EXPECT_EQ(status, staged ? "applied\n" : "succeeded\n");
    EXPECT_EQ(testing_util::DiffSnapshots(Without(update_.Expected(), planted),
                                          Without(update_.Target(staged), planted)),
              "")
        << "not exactly the update\n"
        << log;
  }

  // The updater copied into root's "bin", trusting the key "t/root" there.
  void InstallProgram() {
    for (const char* key : {"root", "user"}) ASSERT_TRUE(archive_testing::MakeKeyPair(T(key)));
    ASSERT_EQ(testing_util::RunCommand("mkdir -p '" + root_.Sub("bin") + "' && cp " +
                                       UPDATER_BINARY + " '" + program_ + "'"),
              0);
    WriteFile(program_ + ".keys", testing_util::ReadFile(T("root.pub")));
  }
  std::vector<std::string> Through(const std::string& program) const {
    return {"/bin/sh", "-c", "exec " + program + " \"$@\""};
  }

  testing_util::ScopedTempDir root_;
  const std::string inst_ = root_.Sub("home/app"), upd_ = root_.Sub("home/upd"),
                    archive_ = upd_ + "/update.qex", program_ = root_.Sub("bin/updater");
  updater_fixture::MixedUpdate update_{inst_, upd_};
  Snapshot outside_, original_;  // as Plant found them
  int limit_ = 60;               // seconds for one run
};

// A planted journal, a leftover work directory, the work directory and the
// staged copy changed under the run.
TEST_F(HostileRootTest, OwnersFilesAndRacesGiveRootNothing) {
  const struct {
    std::string name, plant;
    Race race;
    bool staged;
    std::set<std::string> planted;
  } cases[] = {
      {"uncommitted journal restoring ../../p/config from the user's file",
       "cd home/app && echo mine > evil\n"
       "printf 'S0 1\\0\\nB../../p/config\\0evil\\0%s\\0\\n' \"$(stat -c '%d %i' evil)\" > "
       "updating.journal",
       {},
       false,
       {"evil", "updating.journal", "updating"}},
      {"leftover work directory swapped for a link once its removal started",
       "mkdir -p home/app/updating/d1 && cd home/app/updating/d1 && echo x > config && echo y > "
       "data",
       {"remove", "/app/updating/d1/", 1,
        "cd home/app && mv updating updating.x && ln -s ../../p updating"},
       false,
       {"updating", "updating.x"}},
      {"work directory replaced by the user's, with links where entries are decoded",
       "",
       {"open", "/app/updating/.early-", 1,
        "cd home/app && mv updating updating.root && mkdir updating\n"
        "for n in 0 1 2 3 4 5 6 7 8 9; do ln -sf ../../../p/config updating/.early-$n\n"
        "ln -sf ../../../p/config updating/$n.patch; done"},
       false,
       {"updating", "updating.root"}},
      {"staged copy reading a name flipped to a link to a root-only file",
       "echo mine > home/app/flip",
       {"open", "/app/flip", 1, "cd home/app && mv flip flip.x && ln -s ../../p/secret flip"},
       true,
       {"flip", "flip.x"}},
      {"staged copy writing into a directory swapped for a link",
       "",
       {"open", "/app/updated/share/", 1,
        "cd home/app/updated && mv share share.x && ln -s ../../../p share"},
       true,
       {"share", "share.x"}},
      {"staged copy making a directory where the owner put a link",
       "",
       {"mkdir", "/app/updated/lib", 1, "cd home/app/updated && ln -s ../../../p lib"},
       true,
       {"lib"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(update_.MakeInstallation());
    Plant(c.plant);
    auto run = Run(update_.Args(c.staged), c.race);
    Judge(run, c.staged, c.planted);
  }
}

// The owner puts a link to a root directory in the installation's place while
// root waits for the application.
TEST_F(HostileRootTest, InstallationSwappedWhileWaiting) {
  Plant("");
  pid_t app = fork();
  if (app == 0) {
    execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(app, 0);
  RunOutcome run;
  // The status says "applying" once the run holds the installation's lock.
  EXPECT_TRUE(updater_fixture::RunDuring(
      {upd_, inst_, std::to_string(app)}, {}, {"/usr/bin/timeout", "-k", "5", "60"},
      [&] { return Read(upd_ + "/update.status") == "applying"; },
      [&] {
        EXPECT_EQ(AsNobody("cd home && mv app app.real && ln -s ../p/inst app"), 0);
        kill(app, SIGKILL);
      },
      &run))
      << "the run did not wait";
  kill(app, SIGKILL);
  waitpid(app, nullptr, 0);
  Judge(run, false);
}

// The archive changed by its owner after the signature check: another one
// renamed over it before it is opened again, or an entry rewritten in place
// while the run decodes (the work directory is made after the check).
TEST_F(HostileRootTest, ArchiveChangedAfterItsSignatureWasChecked) {
  InstallProgram();
  const std::string app = "#!/bin/sh\necho new\n", good = archive_testing::Bzip2(app);
  updater_fixture::MixedUpdate evil(inst_, T("evil"));
  ASSERT_TRUE(evil.WriteEntries(
      {{"updatev3.manifest", "add \"bin/app\"\n"}, {"bin/app", "#!/bin/sh\necho pwn\n", 0755}}));
  // Another stream of the same length in place of bin/app's.
  std::string bad;
  for (int i = 0; i < 26 * 26 * 26 && (bad.size() != good.size() || bad == good); ++i) {
    const char word[] = {char('a' + i / 676), char('a' + i / 26 % 26), char('a' + i % 26), 0};
    bad = archive_testing::Bzip2("#!/bin/sh\necho " + std::string(word) + "\n");
  }
  ASSERT_EQ(bad.size(), good.size());
  WriteFile(T("entry.bin"), bad);
  // Renamed over before the run opens it again (the first open the
  // interposer sees: the check's open64 is not among its wrappers), or rewritten
  // in place once the work directory is made.
  for (bool in_place : {false, true}) {
    SCOPED_TRACE(in_place ? "rewritten in place" : "renamed over");
    ASSERT_TRUE(update_.MakeInstallation());
    ASSERT_TRUE(update_.WriteArchive());
    ASSERT_TRUE(archive_testing::SignWith(archive_, T(""), {"root"}));
    WriteFile(inst_ + "/product-version", "1.0\n");  // a signed installation records it
    size_t at = testing_util::ReadFile(archive_).find(good);
    ASSERT_NE(at, std::string::npos);
    Plant("");
    const Race race =
        in_place ? Race{"mkdir", "/app/updating", 1,
                        "dd if=t/entry.bin of=" + archive_ + " bs=1 seek=" + std::to_string(at) +
                            " conv=notrunc status=none"}
                 : Race{"open", "/upd/update.qex", 1,
                        "cp t/evil/update.qex home/upd/x && mv home/upd/x " + archive_};
    auto run = Run(update_.Args(), race, Through(program_));
    Judge(run, false, {"product-version"});
  }
}

// Trust that the command line, the keys file's mode or the owner's deletion
// of product-version would give: each run is refused, changing nothing.
TEST_F(HostileRootTest, TrustIsNotTakenFromWhatTheUserControls) {
  InstallProgram();
  const struct {
    std::string name, plant;
    const char* signer;  // nullptr: unsigned
    std::vector<std::string> prefix;
    mode_t keys_mode = 0644;
    bool newer_first = false;  // a newer signed update applied before
  } cases[] = {
      {"started as ./updater in the user's directory beside the user's keys",
       "cp t/user.pub home/upd/updater.keys",
       "user",
       {"/bin/bash", "-c", "cd '" + upd_ + "' && exec -a ./updater " + program_ + " \"$@\""}},
      {"keys file writable by all", "cat t/user.pub >> bin/updater.keys", "user", Through(program_),
       0666},
      {"product-version deleted before an older signed archive", "rm home/app/product-version",
       "root", Through(program_), 0644, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(update_.MakeInstallation());
    WriteFile(program_ + ".keys", testing_util::ReadFile(T("root.pub")), c.keys_mode);
    ASSERT_EQ(
        testing_util::RunCommand("rm -f " + upd_ + "/* && chown -hR nobody: " + root_.Sub("home")),
        0);
    WriteFile(inst_ + "/product-version", c.newer_first ? "2.0\n" : "1.0\n");
    if (c.newer_first) {
      archive_testing::TestLayout newer;
      newer.version = "2.0";
      newer.entries = {{"updatev3.manifest", "add \"a\"\n"}, {"a", "a"}};
      ASSERT_TRUE(archive_testing::WriteBytes(archive_, archive_testing::BuildArchive(newer)));
      ASSERT_TRUE(archive_testing::SignWith(archive_, T(""), {"root"}));
      EXPECT_EQ(Run(update_.Args(), {}, Through(program_)).exit_code, 0);
    }
    ASSERT_TRUE(update_.WriteArchive());
    ASSERT_TRUE(!c.signer || archive_testing::SignWith(archive_, T(""), {c.signer}));
    Plant(c.plant);
    auto run = Run(update_.Args(), {}, c.prefix);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(testing_util::DiffSnapshots(original_, update_.Installation()), "");
    Judge(run, false, {"a", "product-version"});
  }
}

// A manifest of 320 MB of comment lines in a 1 KB entry: the run uses no
// more than 200 MB of memory.
TEST_F(HostileRootTest, ManifestOfManyLinesIsNotHeldInMemory) {
  limit_ = 120;
  const std::string manifest = T("manifest.bz2");
  FILE* bz = popen(("bzip2 -9 > " + manifest).c_str(), "w");
  ASSERT_NE(bz, nullptr);
  std::string chunk;
  for (int i = 0; i < 1000; ++i) chunk += "#" + std::string(999, 'x') + "\n";
  for (int i = 0; i < 320; ++i) fwrite(chunk.data(), 1, chunk.size(), bz);
  ASSERT_EQ(pclose(bz), 0);
  ASSERT_TRUE(
      update_.WriteEntries({{"updatev3.manifest", testing_util::ReadFile(manifest), 0644, false}}));
  Plant("");
  auto run = Run(update_.Args(), {}, {"/usr/bin/time", "-f", "%M", "-o", T("rss")});
  // The last line; one before it names the signal that ended the run.
  const std::string rss = testing_util::ReadFile(T("rss"));
  ASSERT_GT(rss.size(), 1u);
  EXPECT_LT(atol(rss.c_str() + rss.find_last_of('\n', rss.size() - 2) + 1), 200 * 1024)
      << "KiB at most";
  Judge(run);
}

// Root's staged update, replace request and ordinary run in the owner's own
// "updates/0", then the owner's run: everything made in the update directory
// is the owner's, whose next drop and run succeed, with the run's own lines in
// the log; a log the owner cannot write is reported.
TEST_F(HostileRootTest, WhatRootMakesInTheUpdateDirectoryIsTheOwners) {
  updater_fixture::MixedUpdate inside(inst_, inst_ + "/updates/0");
  ASSERT_TRUE(inside.WriteArchive());
  for (const std::string who : {"root", "owner"}) {
    ASSERT_TRUE(updater_fixture::MixedUpdate(inst_, T(who))
                    .WriteEntries({{"updatev3.manifest", "add \"" + who + "\"\n"}, {who, who}}));
  }
  Plant("");
  const std::string updates = inst_ + "/updates", log = inside.update_dir() + "/update.log";
  const std::vector<std::string> owner = {"setpriv", "--reuid=65534", "--regid=65534",
                                          "--clear-groups"};
  const struct {
    std::vector<std::string> args, prefix;
    std::string drop;  // the owner's, before the run
  } runs[] = {{inside.Args(true), {}, ""},
              {{inside.update_dir(), inside.StagedDir(), "0/replace"}, {}, ""},
              {inside.Args(), {}, "t/root"},
              {inside.Args(), owner, "t/owner"}};
  for (const auto& r : runs) {
    SCOPED_TRACE(r.args.back() + " " + r.drop);
    ASSERT_EQ(AsNobody(r.drop.empty() ? "" : "cp " + r.drop + "/update.qex home/app/updates/0/"),
              0);
    EXPECT_EQ(Run(r.args, {}, r.prefix).exit_code, 0) << inside.Log();
    for (const auto& [path, desc] : SnapshotTree(updates)) {
      struct stat st;
      EXPECT_TRUE(lstat((updates + "/" + path).c_str(), &st) == 0 && st.st_uid == 65534u &&
                  st.st_gid == 65534u)
          << path;
    }
  }
  EXPECT_NE(inside.Log().find("EXECUTE ADD owner\n"), std::string::npos) << inside.Log();
  unlink(log.c_str());  // made anew, root's
  WriteFile(log, "root's\n");
  const std::string err = Run(inside.Args(), {}, owner).err;
  EXPECT_NE(err.find("updater: the update log cannot be written: " + log + ", err: 13\n"),
            std::string::npos)
      << err;
}

// A staged update keeps an "updated" that is not its own copy.
TEST_F(HostileRootTest, OwnersUpdatedIsNotTakenForAStagedCopy) {
  Plant("mkdir home/app/updated && echo mine > home/app/updated/mine");
  auto run = Run(update_.Args(true));
  EXPECT_EQ(update_.Status(), "failed: 52\n");
  EXPECT_NE(
      update_.Log().find("not a staged copy made by the updater (no .quil-staged), left as it "
                         "is: " +
                         update_.StagedDir() + "\n"),
      std::string::npos)
      << update_.Log();
  EXPECT_EQ(testing_util::ReadFile(inst_ + "/updated/mine"), "mine\n");
  Judge(run, true);
}

}  // namespace
