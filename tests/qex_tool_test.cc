// End-to-end tests of the qex tool: the built program run on real files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "archive/archive_test_util.h"
#include "testing/test_util.h"

namespace {

using testing_util::Exists;
using testing_util::ReadFile;
using testing_util::ScopedTempDir;
using testing_util::SnapshotTree;
using testing_util::WriteFile;

struct Result {
  int status;
  std::string out;
  std::string err;
};

class QexToolTest : public ::testing::Test {
 protected:
  // Runs qex with `args` (already shell-quoted where needed) in the temporary
  // directory.
  Result Qex(const std::string& args) {
    const std::string out = dir_.Sub(".out"), err = dir_.Sub(".err");
    int status = testing_util::RunCommand("cd '" + dir_.path() + "' && " QEX_BINARY " " + args +
                                          " >'" + out + "' 2>'" + err + "'");
    Result r{status, ReadFile(out), ReadFile(err)};
    remove(out.c_str());
    remove(err.c_str());
    return r;
  }

  ScopedTempDir dir_;
};

// A real directory survives create with compression and extract with
// decompression: the same names, bytes and permission bits.
TEST_F(QexToolTest, RoundTripOfARealDirectory) {
  const std::string src = dir_.Sub("src");
  ASSERT_EQ(testing_util::RunCommand("mkdir -p '" + src + "' && cp /bin/sh /etc/os-release '" +
                                     src + "/'"),
            0);
  WriteFile(src + "/bin/tool", testing_util::RandomBytes(700000, 1), 0751);
  WriteFile(src + "/share/doc/readme.txt", "read me\n", 0644);
  WriteFile(src + "/share/empty", "", 0600);
  WriteFile(src + "/odd name with spaces", "x", 0666);
  // Files keep their exact modes (0666 survives this umask); directories are
  // created 0755 less the umask.
  umask(022);

  Result r = Qex("create --bzip2 -c release -p 2.0 -C src app.qex .");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  r = Qex("extract --bzip2 -C out app.qex");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testing_util::DiffSnapshots(SnapshotTree(src), SnapshotTree(dir_.Sub("out"))), "");

  // Without decompression the files hold the stored streams, byte for byte
  // what the bzip2 tool writes.
  r = Qex("extract -C raw app.qex");
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(testing_util::RunCommand("bzip2 -9 -c '" + src + "/sh' >'" + dir_.Sub("sh.bz2") + "'"),
            0);
  EXPECT_TRUE(ReadFile(dir_.Sub("raw/sh")) == ReadFile(dir_.Sub("sh.bz2")));
  EXPECT_EQ(ReadFile(dir_.Sub("raw/share/doc/readme.txt")), archive_testing::Bzip2("read me\n"));
}

TEST_F(QexToolTest, ListInfoAndRefresh) {
  WriteFile(dir_.Sub("b.txt"), "0123456789", 0640);
  WriteFile(dir_.Sub("d/a"), "abc", 0755);
  Result r = Qex("create -c release -p 1.0 plain.qex b.txt d/");
  ASSERT_EQ(r.status, 0) << r.err;

  r = Qex("list plain.qex");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "0640         10 b.txt\n"
            "0755          3 d/a\n");
  r = Qex("info plain.qex");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "layout: full\n"
            "signatures: 0\n"
            "additional blocks: 1, from offset 24\n"
            "channel: release\n"
            "product version: 1.0\n"
            "entries: 2, 13 stored bytes\n");

  const std::string before = ReadFile(dir_.Sub("plain.qex"));
  r = Qex("refresh --channel beta --product-version 1.1b2 plain.qex");
  EXPECT_EQ(r.status, 0) << r.err;
  r = Qex("info plain.qex");
  EXPECT_NE(r.out.find("channel: beta\nproduct version: 1.1b2\n"), std::string::npos);
  const std::string after = ReadFile(dir_.Sub("plain.qex"));
  EXPECT_EQ(after.substr(128), before.substr(128));

  r = Qex("refresh -c beta plain.qex");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "qex: --channel and --product-version are required\n");
}

TEST_F(QexToolTest, RefusesWhatWouldBeUnsafeOrBroken) {
  archive_testing::TestLayout evil;
  evil.entries = {{"ok", "fine"}, {"../escaped", "evil"}};
  ASSERT_TRUE(archive_testing::WriteBytes(dir_.Sub("evil.qex"), BuildArchive(evil)));
  Result r = Qex("extract -j -C box evil.qex");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("../escaped"), std::string::npos);
  EXPECT_FALSE(Exists(dir_.Sub("escaped")));

  archive_testing::TestLayout signed_layout;
  signed_layout.signatures = {{1, "sig"}};
  signed_layout.entries = {{"a", "x"}};
  const std::string signed_bytes = BuildArchive(signed_layout);
  ASSERT_TRUE(archive_testing::WriteBytes(dir_.Sub("signed.qex"), signed_bytes));
  r = Qex("refresh -c beta -p 2 signed.qex");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ERROR: Cannot refresh a signed QEX\nqex: could not refresh signed.qex\n");
  EXPECT_TRUE(ReadFile(dir_.Sub("signed.qex")) == signed_bytes);

  WriteFile(dir_.Sub("f"), "x");
  r = Qex("create -c release -p 1 bad.qex f missing");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ERROR: file not found: missing\nqex: could not create bad.qex\n");
  EXPECT_FALSE(Exists(dir_.Sub("bad.qex")));
  r = Qex("create -c release -p 1 bad.qex ../x");
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(Exists(dir_.Sub("bad.qex")));
  r = Qex("create -c " + std::string(64, 'c') + " -p 1 bad.qex f");
  EXPECT_EQ(r.err, "qex: channel is longer than 63 bytes\n");

  // Recreating an archive inside the tree it stores leaves the old one out.
  ASSERT_EQ(Qex("create -c release -p 1 self.qex f").status, 0);
  r = Qex("create -c release -p 1 self.qex .");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "qex: skipping self.qex itself\n");
  EXPECT_EQ(Qex("list self.qex").out.find("self.qex"), std::string::npos);

  r = Qex("list f");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "qex: f is not a readable QEX archive\n");
}

TEST_F(QexToolTest, CommandLine) {
  Result r = Qex("--help");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("Usage: qex COMMAND", 0), 0u);
  r = Qex("--version");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("qex ", 0), 0u);
  r = Qex("");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("Usage: qex", 0), 0u);
  r = Qex("frobnicate a.qex");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "qex: unknown command frobnicate (see qex --help)\n");
  r = Qex("list --bogus a.qex");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "qex: unknown option --bogus (see qex --help)\n");
  r = Qex("create -c");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "qex: option -c needs an argument\n");
}

}  // namespace
