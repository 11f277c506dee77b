// updater --check on every kind of failure: it predicts the result code of
// the real update and changes nothing, not even in the update directory.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>

#include "testing/test_util.h"
#include "tests/updater_fixture.h"

namespace {

using testing_util::ReadFile;
using testing_util::WriteFile;
using updater_fixture::RunUpdater;

TEST(DryRunTest, PredictsTheUpdatesResultAndChangesNothing) {
  testing_util::ScopedTempDir root, elsewhere;
  const std::string inst = root.Sub("app"), upd = inst + "/updates/0", out = elsewhere.Sub("out");
  updater_fixture::MixedUpdate update(inst, upd);
  // A manifest with one entry (`name`, holding `contents`).
  auto manifest = [&](const std::string& text, const std::string& contents = "x",
                      const std::string& name = "a") {
    return update.WriteEntries({{"updatev3.manifest", text}, {name, contents}});
  };
  const std::string big = inst + "/lib/libbig.so";
  const struct {
    const char* what;
    std::function<bool()> change;  // after the installation and archive are written
    int result;
  } cases[] = {
      {"succeeds", [] { return true; }, 0},
      {"crc", [&] { return truncate(big.c_str(), 0) == 0 && truncate(big.c_str(), 300000) == 0; },
       4},
      {"size", [&] { return truncate(big.c_str(), 10) == 0; }, 42},
      {"no file to patch", [&] { return unlink(big.c_str()) == 0; }, 6},
      {"removal of a directory",
       [&] {
         return unlink((inst + "/lib/libgone.so").c_str()) == 0 &&
                mkdir((inst + "/lib/libgone.so").c_str(), 0755) == 0;
       },
       42},
      {"syntax", [&] { return manifest("add \"a\"\nfrobnicate \"a\"\n"); }, 5},
      {"path rules", [&] { return manifest("add \"../a\"\n"); }, 5},
      {"missing entry", [&] { return manifest("add \"a\"\nadd \"b\"\n"); }, 6},
      {"empty list", [&] { return manifest("type \"partial\"\n"); }, 40},
      {"bad patch", [&] { return manifest("patch \"a\" \"bin/app\"\n", std::string(40, 'p')); },
       41},
      {"bad bzip2",
       [&] {
         return update.WriteEntries(
             {{"updatev3.manifest", "add \"a\"\n"}, {"a", "no bzip2", 0644, false}});
       },
       39},
      {"file in the way", [&] { return manifest("add \"bin/app/x\"\n", "x", "bin/app/x"); }, 7},
      {"link over a directory", [&] { return manifest("addlink \"lib\" \"x\"\n"); }, 42},
      {"directory over a file", [&] { return manifest("adddir \"bin/app/\" \"755\"\n"); }, 42},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(update.MakeInstallation() && update.WriteArchive() && c.change());
    const auto before = testing_util::SnapshotTree(root.path());
    // As JSON with absolute paths, as text with relative ones.
    for (const char* format : {"--json", ""}) {
      std::vector<std::string> args = {"--check", "app/updates/0", "app"};
      if (*format) args = {"--check", format, upd, inst};
      auto check = RunUpdater(
          args, {},
          {"/bin/sh", "-c", "cd '" + root.path() + "' && exec \"$0\" \"$@\" >'" + out + "'"});
      EXPECT_EQ(check.exit_code, c.result == 0 ? 0 : 1) << check.err;
      EXPECT_EQ(testing_util::DiffSnapshots(before, testing_util::SnapshotTree(root.path())), "");
      const std::string report = ReadFile(out);
      const std::string expected = *format    ? "\"result\": " + std::to_string(c.result) + ","
                                   : c.result ? "would fail: " + std::to_string(c.result) + "\n"
                                              : "would succeed\n";
      EXPECT_NE(report.find(expected), std::string::npos) << report;
    }
    // The prediction holds.
    RunUpdater(update.Args());
    EXPECT_EQ(update.Status(),
              c.result ? "failed: " + std::to_string(c.result) + "\n" : "succeeded\n");
  }
}

}  // namespace
