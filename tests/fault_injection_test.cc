// Fault injection at the system-call boundary: the built updater runs the
// mixed update with the interposer (interpose.c) preloaded, once for every N,
// making the N-th call of one kind inside the installation fail, until a run
// meets no fault. After every run the installation must be fully updated or
// exactly as before (Judge in updater_fixture.h).
#include <errno.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "testing/test_util.h"
#include "tests/updater_fixture.h"

namespace {

using updater_fixture::MixedUpdate;

// Far more calls than the update makes; reaching it means the loop is stuck.
constexpr int kMaxRuns = 600;

struct Scenario {
  const char* kind;
  int err;
  bool sticky;  // every call from the N-th on fails too, so the rollback meets failures
  bool staged;  // the copy of the installation is made under faults too
};

std::string Name(const Scenario& s) {
  return std::string(s.staged ? "staged_" : "") + s.kind + "_" + strerrorname_np(s.err) +
         (s.sticky ? "_from_n_on" : "");
}
void PrintTo(const Scenario& s, std::ostream* os) { *os << Name(s); }

class FaultInjectionTest : public ::testing::TestWithParam<Scenario> {
 protected:
  testing_util::ScopedTempDir root_;
  MixedUpdate update_{root_.Sub("app"), root_.Sub("upd")};
};

TEST_P(FaultInjectionTest, EveryFailingCallLeavesTheInstallationWholeOrUpdated) {
  const Scenario& s = GetParam();
  ASSERT_TRUE(update_.WriteArchive());
  ASSERT_TRUE(update_.MakeInstallation());
  const auto original = update_.Installation(), updated = update_.Expected();
  const std::string report = root_.Sub("faults.txt");
  int failed = 0, n = 1;
  for (;; ++n) {
    ASSERT_LT(n, kMaxRuns) << "faults are still being injected";
    ASSERT_TRUE(update_.MakeInstallation());
    unlink(report.c_str());
    auto run = updater_fixture::RunUpdater(
        update_.Args(s.staged),
        {"LD_PRELOAD=" INTERPOSE_LIB, "UPDATER_FAULT_SCOPE=" + update_.install_dir(),
         "UPDATER_FAULT_REPORT=" + report, std::string("UPDATER_FAULT_KIND=") + s.kind,
         "UPDATER_FAULT_AT=" + std::to_string(n), "UPDATER_FAULT_ERRNO=" + std::to_string(s.err),
         std::string("UPDATER_FAULT_STICKY=") + (s.sticky ? "1" : "0")});
    // The first injected failure, as "kind N errno path".
    const std::string faults = testing_util::ReadFile(report);
    const std::string where = std::to_string(n) + ": " + faults.substr(0, faults.find('\n'));
    const bool updating_hit =
        faults.find(update_.Args(s.staged)[1] + "/updating") != std::string::npos;
    auto v = Judge(update_, run, original, updated, {s.staged, s.sticky, updating_hit});
    for (const std::string& p : v.problems) ADD_FAILURE() << where << "\n  " << p << update_.Log();
    failed += !v.succeeded;
    if (faults.empty()) {
      // Past the last call of this kind: the update must simply succeed.
      EXPECT_TRUE(v.succeeded) << where;
      break;
    }
  }
  printf("[ matrix ] %-24s %4d runs: %d failed and rolled back\n", Name(s).c_str(), n, failed);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FaultInjectionTest,
    ::testing::Values(
        Scenario{"write", ENOSPC, false, false}, Scenario{"rename", EXDEV, false, false},
        Scenario{"rename", EACCES, false, false}, Scenario{"open", EACCES, false, false},
        Scenario{"fsync", EIO, false, false}, Scenario{"mkdir", EACCES, false, false},
        Scenario{"remove", EACCES, false, false}, Scenario{"readdir", EIO, false, false},
        Scenario{"write", ENOSPC, true, false}, Scenario{"rename", EACCES, true, false},
        Scenario{"remove", EACCES, true, false}, Scenario{"open", EMFILE, true, false},
        Scenario{"mkdir", ENOSPC, true, false}, Scenario{"readdir", EIO, true, false},
        Scenario{"readdir", EIO, false, true}, Scenario{"open", EACCES, false, true},
        Scenario{"write", ENOSPC, false, true}, Scenario{"mkdir", EACCES, false, true},
        Scenario{"rename", EXDEV, false, true}),
    [](const ::testing::TestParamInfo<Scenario>& info) { return Name(info.param); });

}  // namespace
