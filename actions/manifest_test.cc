#include "actions/manifest.h"

#include <gtest/gtest.h>

#include "actions/actions_test_util.h"
#include "actions/precomplete.h"

namespace actions_test {
namespace {

using namespace std::string_literals;
using ManifestTest = WorkDirTest;

// Manifest text to actions: line and argument splitting, the path rules, the
// keywords. A failing line leaves the actions before it. Rows starting with
// "precomplete" are the precomplete file of a complete update ("/": a
// directory; nothing more: no file, so nothing to remove), read from a file.
TEST_F(ManifestTest, ParseLines) {
  const std::string p = "get_valid_path: ", pre = "AddPreCompleteActions: ";
  const std::string no_file = pre + "error getting contents of precomplete manifest\n";
  // A link to a directory whose name only begins with the installation's.
  const std::string sibling = tree_.path() + "x";
  ASSERT_EQ(0, mkdir(sibling.c_str(), 0755));
  struct Case {
    std::string text;
    int rv;
    const char* actions;
    std::string log;
  } cases[] = {
      {"# c\nadd-if \"t\" \"f\" whatever\nadd-if-not \"t\" \"g\"\nremove a b\nadd \"h\"\n"
       "patch \"p/x.patch\" \"d/f\"\npatch-if \"t\" \"e\" \"g\"\nrmdir \"d//\"\n",
       0,
       "if t add f\nif t add g\nremove a b\nadd h\npatch p/x.patch d/f\nif t patch e g\nrmdir d/\n",
       ""},
      {"\r\n\n  remove \"a\"\r\nremove \"b\"\n\r\n\rremove \"c\"\rremove \"d\" \t \n\n", 0,
       "remove a\nremove b\nremove c\nremove d\n", ""},
      // Only the one blank that ends the keyword is consumed.
      {"remove  \"a\"", 0, "remove  \n", ""},
      // The separator call consumes the second argument.
      {"add-if \"t\"\"f\"", 5, "", p + "unable to determine path: \n"},
      // Nothing after the test file: no separator, no message.
      {"add-if-not \"t\"", 5, "", ""},
      {"add", 5, "", p + "unable to determine path: \n"},
      {"remove \"\"", 5, "", p + "unable to determine path: \n"},
      {"remove \"notes..txt\"", 5, "", p + "paths must not contain '..': notes..txt\n"},
      {"remove \"/abs\"", 5, "", p + "path must be relative: /abs\n"},
      {"remove \"prefix/f\"", 5, "",
       p + "path leads outside the installation through a symbolic link: prefix/f\n"},
      {"rmdir \"a\"", 5, "", p + "directory paths must have a trailing forward slash: a\n"},
      {"rmdir \"../a/\"", 5, "", p + "paths must not contain '..': ../a\n"},
      {"patch \"e\"", 5, "", ""},
      {"patch \"e\" ", 5, "", p + "unable to determine path: \n"},
      {"patch-if \"../t\" \"e\" \"f\"", 5, "", p + "paths must not contain '..': ../t\n"},
      {"remove \"a\"\nAdd \"b\"", 5, "remove a\n", "DoUpdate: unknown token: Add\n"},
      {"remove \"a\"\n \t \n", 5, "remove a\n", "DoUpdate: token not found in manifest\n"},
      {"rmrfdir \"d\"", 5, "", p + "directory paths must have a trailing forward slash: d\n"},
      {"remove \"a\"\nrmrfdir \"/\"", 5, "remove a\n", p + "path must be relative: /\n"},
      {"rmrfdir \"\"", 5, "", p + "unable to determine path: \n"},
      {"rmrfdir \"./\"\n", 5, "", "DoUpdate: rmrfdir names the installation itself: ./\n"},
      {"rmrfdir \"././/\"", 5, "", "DoUpdate: rmrfdir names the installation itself: ././/\n"},
      {"rmrfdir \"d/../\"", 5, "", p + "paths must not contain '..': d/..\n"},
      {"precomplete # c\nremove \"a\"\r\nremove-cc \"b\"\n\nrmdir \"d/\"\nremove \"e f\"\n\0rmdir \"x/\""s,
       0, "remove a\nrmdir d\nremove e f\n", ""},
      {"precomplete", 0, "", pre + "warning: " + kNoPrecompleteWarning + "\n"},
      {"addlink \"l\" \" ../x\ty\"\nadddir \"d/e//\" \"2775\"\nadddir \"f/\" \"0\"", 0,
       "add l ->  ../x\ty\nadddir d/e/ 1533\nadddir f 0\n", ""},
      {"addlink \"l\"", 5, "", ""},
      {"addlink \"l\" \"\"", 5, "", ""},
      {"addlink \"l\" \"" + std::string(1024, 't'), 5, "",
       "addlink: link target too long: " + std::string(1024, 't') + "\n"},
      {"adddir \"d/\" \"17777\"\nadddir \"d/\" \"8\"", 5, "", "adddir: invalid mode: 17777\n"},
      {"adddir \"d/\" \"-1\"", 5, "", "adddir: invalid mode: -1\n"},
      {"adddir \"d\" \"755\"", 5, "",
       p + "directory paths must have a trailing forward slash: d\n"},
      {"precomplete addlink \"a\" \"b\"\n", 5, "", pre + "unknown token: addlink\n"},
      {"precomplete/", 6, "", "GetManifestContents: not a regular file: precomplete\n" + no_file},
      {"precomplete remove \"a\"\nadd \"x\"\n", 5, "remove a\n", pre + "unknown token: add\n"},
      {"precomplete  #x \"a\"\n", 5, "", pre + "unknown token: #x\n"},
  };
  for (const Case& c : cases) {
    ResetTree();
    ASSERT_EQ(0, symlink(sibling.c_str(), "prefix"));
    std::string text = c.text, log = c.log;
    if (text.rfind("precomplete", 0) == 0) {
      ASSERT_TRUE(text != "precomplete/" || mkdir("precomplete", 0755) == 0);
      if (text.size() > 12) WriteFile(Path("precomplete"), text.substr(12));
      text = "type \"complete\"\n";
      log = "UPDATE TYPE complete\n" + log;
    }
    ActionList list;
    EXPECT_EQ(c.rv, Parse(text, &list)) << c.text;
    EXPECT_EQ(c.actions, Describe(list)) << c.text;
    EXPECT_EQ(log, Log()) << c.text;
  }
  EXPECT_EQ(0, rmdir(sibling.c_str()));
  // An OS update does not even read the precomplete file.
  context_.is_os_update = true;
  ActionList list;
  EXPECT_EQ(0, Parse("type \"complete\"\n", &list));
  EXPECT_EQ(0, list.count());
}

}  // namespace
}  // namespace actions_test
