// End-to-end tests of the qex tool: the built program run on real files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "archive/archive_test_util.h"
#include "testing/test_util.h"

namespace {

using archive_testing::BuildArchive;
using testing_util::Exists;
using testing_util::ReadFile;
using testing_util::WriteFile;

class QexToolTest : public ::testing::Test {
 protected:
  // Runs qex with `args` (already shell-quoted where needed) in the temporary
  // directory; the exit status, with standard output and error kept.
  int Qex(const std::string& args) {
    return testing_util::RunCommand("cd '" + dir_.path() + "' && " QEX_BINARY " " + args + " >'" +
                                    log_.Sub("out") + "' 2>'" + log_.Sub("err") + "'");
  }
  std::string Out() { return ReadFile(log_.Sub("out")); }
  std::string Err() { return ReadFile(log_.Sub("err")); }

  testing_util::ScopedTempDir dir_, log_;
};

// The commands in turn on one directory: each one's exit status, its whole
// standard output and the start of its standard error. A real directory
// survives create with compression and extract with decompression: the same
// names, bytes and permission bits. Signing with two keys rotates them; a
// signed archive keeps its product information.
TEST_F(QexToolTest, CommandsAndTheirReports) {
  const std::string src = dir_.Sub("src");
  WriteFile(src + "/bin/tool", testing_util::RandomBytes(700000, 1), 0751);
  WriteFile(src + "/share/doc/readme.txt", "read me\n", 0644);
  WriteFile(src + "/share/empty", "", 0600);
  WriteFile(src + "/share/copy.txt", "read me\n", 0600);  // stored once with readme.txt
  WriteFile(src + "/odd name with spaces", "x", 0666);
  ASSERT_EQ(testing_util::RunCommand("cp /bin/sh '" + src + "/'"), 0);
  // Files keep their exact modes (0666 survives this umask); directories are
  // created 0755 less the umask.
  umask(022);
  for (const char* k : {"k1", "k2", "k3"}) ASSERT_TRUE(archive_testing::MakeKeyPair(dir_.Sub(k)));
  WriteFile(dir_.Sub("b.txt"), "0123456789", 0640);
  WriteFile(dir_.Sub("d/a"), "abc", 0755);
  WriteFile(dir_.Sub("d/c"), "0123456789", 0600);
  WriteFile(dir_.Sub("f"), "x");
  archive_testing::TestLayout evil;
  evil.entries = {{"ok", "fine"}, {"../escaped", "evil"}};
  ASSERT_TRUE(archive_testing::WriteBytes(dir_.Sub("evil.qex"), BuildArchive(evil)));
  const std::string one = "signature 1: Ed25519 (3), 64 bytes: ",
                    two = "signature 2: Ed25519 (3), 64 bytes: ";
  const std::string signed_tail =
      "additional blocks: 1, from offset 168\nchannel: release\nproduct version: 1\n"
      "update: none (no manifest)\nentries: 1, 1 stored bytes\n";
  // What the manifest says of the update, as make-update writes it.
  const std::string manifest = "# from version 1.9 to 2.0\n#\n\ntype \"partial\"\nadd \"f\"\n";
  WriteFile(dir_.Sub("m/updatev3.manifest"), manifest);
  WriteFile(dir_.Sub("c/updatev2.manifest"), "type \"complete\"\n");
  auto update_info = [](const std::string& update, const std::string& text) {
    return "layout: with a signature area\nsignatures: 0\nadditional blocks: 1, from offset 24\n"
           "channel: release\nproduct version: 2.0\nupdate: " +
           update + "\nentries: 1, " + std::to_string(archive_testing::Bzip2(text).size()) +
           " stored bytes\n";
  };
  const struct {
    std::string args;
    int status;
    std::string out, err;
  } cases[] = {
      {"create --bzip2 -c release -p 2.0 -C src app.qex .", 0, "", ""},
      {"extract --bzip2 -C out app.qex", 0, "", ""},
      {"extract -C raw app.qex", 0, "", ""},
      {"create -c release -p 1.0 plain.qex b.txt d/", 0, "", ""},
      {"list plain.qex", 0, "0640         10 b.txt\n0600         10 d/c\n0755          3 d/a\n",
       ""},
      {"refresh --channel beta --product-version 1.1b2 plain.qex", 0, "", ""},
      {"info plain.qex", 0,
       "layout: with a signature area\nsignatures: 0\nadditional blocks: 1, from offset "
       "24\nchannel: beta\n"
       "product version: 1.1b2\nupdate: none (no manifest)\nentries: 3, 13 stored bytes\n",
       ""},
      {"create -j -c release -p 2.0 -C m up.qex .", 0, "", ""},
      {"create -j -c release -p 2.0 -C c c.qex .", 0, "", ""},
      {"info up.qex", 0, update_info("partial, from version 1.9", manifest), ""},
      {"info c.qex", 0, update_info("complete", "type \"complete\"\n"), ""},
      {"create -c release -p 1 s.qex f", 0, "", ""},
      {"verify s.qex k1.pub", 1, "", "qex: s.qex is not signed\n"},
      {"sign s.qex k1.pub", 1, "", "ERROR: k1.pub holds no Ed25519 private key\n"},
      {"sign s.qex k1.pem k2.pem", 0, "", ""},
      {"verify s.qex k3.pub k2.pub", 0,
       one + "not verified\n" + two + "verified by k2.pub\ns.qex: verified\n", ""},
      {"verify s.qex k3.pub", 1, one + "not verified\n" + two + "not verified\n",
       "qex: s.qex: no signature verifies with the given keys\n"},
      {"info s.qex", 0,
       "layout: with a signature area\nsignatures: 2\n" + one + "not checked (no key)\n" + two +
           "not checked (no key)\n" + signed_tail,
       ""},
      {"refresh -c beta -p 2 s.qex", 1, "", "ERROR: Cannot refresh a signed QEX\n"},
      {"info s.qex k1.pub", 0,
       "layout: with a signature area\nsignatures: 2\n" + one + "verified by k1.pub\n" + two +
           "not verified\n" + signed_tail,
       ""},
      {"extract -j -C box evil.qex", 1, "",
       "ERROR: refusing entry with an absolute name or a \"..\" component: ../escaped\n"},
      {"create -c release -p 1 self.qex f", 0, "", ""},
      // Recreating an archive inside the tree it stores leaves the old one out.
      {"create -c release -p 1 self.qex .", 0, "", "qex: skipping self.qex itself\n"},
      {"list f", 1, "", "qex: f is not a readable QEX archive\n"},
      {"refresh -c beta self.qex", 1, "", "qex: --channel and --product-version are required\n"},
      {"create -c release -p 1 --app-id org.example.app id.qex f", 0, "", ""},
      {"refresh -c beta -p 2 -a org.example.new id.qex", 0, "", ""},
      {"info id.qex", 0,
       "layout: with a signature area\nsignatures: 0\nadditional blocks: 2, from offset 24\n"
       "channel: beta\nproduct version: 2\napplication id: org.example.new\n"
       "update: none (no manifest)\nentries: 1, 1 stored bytes\n",
       ""},
      {"refresh -c beta -p 2 -a org.example.app self.qex", 1, "",
       "ERROR: The archive has no application id block; create it anew\n"},
      {"create -c release -p 1 -a 9lives x.qex f", 1, "", "qex: invalid application id: 9lives\n"},
      {"list --bogus self.qex", 1, "", "qex: unknown option --bogus (see qex --help)\n"},
      {"create -c", 1, "", "qex: option -c needs an argument\n"},
      {"", 1, "", "Usage: qex"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Qex(c.args), c.status) << c.args;
    EXPECT_EQ(Out(), c.out) << c.args;
    EXPECT_EQ(Err().find(c.err), 0u) << c.args << ": " << Err();
  }
  EXPECT_EQ(testing_util::DiffSnapshots(testing_util::SnapshotTree(src),
                                        testing_util::SnapshotTree(dir_.Sub("out"))),
            "");
  // Without decompression the files hold the stored streams, byte for byte
  // what the bzip2 tool writes.
  ASSERT_EQ(testing_util::RunCommand("bzip2 -9 -c '" + src + "/sh' >'" + dir_.Sub("sh.bz2") + "'"),
            0);
  EXPECT_TRUE(ReadFile(dir_.Sub("raw/sh")) == ReadFile(dir_.Sub("sh.bz2")));
  EXPECT_EQ(ReadFile(dir_.Sub("raw/share/doc/readme.txt")), archive_testing::Bzip2("read me\n"));
  EXPECT_FALSE(Exists(dir_.Sub("escaped")));
  EXPECT_EQ(Qex("list self.qex"), 0);
  EXPECT_EQ(Out().find("self.qex"), std::string::npos);
  EXPECT_EQ(Qex("--help"), 0);
  EXPECT_EQ(Out().rfind("Usage: qex COMMAND", 0), 0u);
}

}  // namespace
