// Fault injection at the system-call boundary: the built updater runs a
// realistic mixed update with the interposer preloaded, once for every N,
// making the N-th call of one kind inside the installation fail, until a run
// meets no fault. After every run the installation must be fully updated or
// exactly as before (Judge in fault_update.h).
#include <errno.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "testing/test_util.h"
#include "tests/fault_update.h"

namespace {

using fault_testing::Judge;
using fault_testing::MixedUpdate;
using fault_testing::RunOptions;
using fault_testing::RunOutcome;
using fault_testing::Snapshot;
using fault_testing::Verdict;

// Far more calls than the update makes; reaching it means the loop is stuck.
constexpr int kMaxRuns = 600;

struct Scenario {
  const char* kind;
  int err;
  // Every call from the N-th on fails too, so the rollback meets failures.
  bool sticky;
  // A staged update: the copy of the installation is made under faults too.
  bool staged = false;
};

std::string Name(const Scenario& s) {
  return std::string(s.staged ? "staged_" : "") + s.kind + "_" + strerrorname_np(s.err) +
         (s.sticky ? "_from_n_on" : "");
}

void PrintTo(const Scenario& s, std::ostream* os) { *os << Name(s); }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    out.push_back(text.substr(start, nl - start));
  }
  return out;
}

class FaultInjectionTest : public ::testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override {
    update_ = std::make_unique<MixedUpdate>(root_.Sub("app"), root_.Sub("upd"));
    ASSERT_TRUE(update_->WriteArchive());
    ASSERT_TRUE(update_->MakeInstallation());
    original_ = update_->Installation();
    // The state a clean run leaves, preloaded but with no fault chosen.
    RunOutcome clean = RunUpdater({});
    ASSERT_EQ(clean.exit_code, 0) << clean.err << update_->Log();
    updated_ = update_->Target(GetParam().staged);
    ASSERT_NE(original_, updated_);
  }

  RunOutcome RunUpdater(const std::vector<std::string>& fault_env) {
    RunOptions options;
    options.env = {"LD_PRELOAD=" INTERPOSE_LIB, "UPDATER_FAULT_SCOPE=" + update_->install_dir(),
                   "UPDATER_FAULT_REPORT=" + Report()};
    options.env.insert(options.env.end(), fault_env.begin(), fault_env.end());
    return fault_testing::RunUpdater(UPDATER_BINARY, update_->Args(GetParam().staged), options);
  }

  std::string Report() const { return root_.Sub("faults.txt"); }

  testing_util::ScopedTempDir root_;
  std::unique_ptr<MixedUpdate> update_;
  Snapshot original_;
  Snapshot updated_;
};

TEST_P(FaultInjectionTest, EveryFailingCallLeavesTheInstallationWholeOrUpdated) {
  const Scenario& s = GetParam();
  int runs = 0, failed = 0, succeeded = 0;
  // Each tolerated leftover with the calls whose failure produced it.
  std::map<std::string, std::string> notes;
  for (int n = 1; n <= kMaxRuns; ++n) {
    ASSERT_TRUE(update_->MakeInstallation());
    unlink(Report().c_str());
    RunOutcome r = RunUpdater({std::string("UPDATER_FAULT_KIND=") + s.kind,
                               "UPDATER_FAULT_AT=" + std::to_string(n),
                               "UPDATER_FAULT_ERRNO=" + std::to_string(s.err),
                               std::string("UPDATER_FAULT_STICKY=") + (s.sticky ? "1" : "0")});
    ++runs;
    const std::vector<std::string> faults = Lines(testing_util::ReadFile(Report()));
    bool updating_hit = false;
    for (const std::string& f : faults) {
      updating_hit |= f.find(update_->Args(s.staged)[1] + "/updating") != std::string::npos;
    }
    Verdict v = Judge(*update_, r, original_, updated_, {s.staged, s.sticky, updating_hit});
    std::string where = "call " + std::to_string(n) + (faults.empty() ? "" : ": " + faults[0]);
    for (const std::string& p : v.problems) {
      ADD_FAILURE() << where << "\n  " << p << "\n--- log:\n" << update_->Log();
    }
    for (const std::string& note : v.notes) notes[note] += " " + std::to_string(n);
    (v.succeeded ? succeeded : failed)++;
    // UPDATER_FAULT_VERBOSE=1 lists every run with the call it failed.
    if (getenv("UPDATER_FAULT_VERBOSE"))
      printf("%s -> %s\n", where.c_str(), v.succeeded ? "ok" : "failed");
    if (faults.empty()) {
      // Past the last call of this kind: the update must simply succeed.
      EXPECT_TRUE(v.succeeded) << where;
      break;
    }
    ASSERT_LT(n, kMaxRuns) << "faults are still being injected after " << n << " runs";
  }
  printf("[ matrix ] %-24s %4d runs: %d failed and rolled back, %d succeeded\n", Name(s).c_str(),
         runs, failed, succeeded);
  for (const auto& [note, calls] : notes) {
    printf("[  note  ] %s: %s (calls%s)\n", Name(s).c_str(), note.c_str(), calls.c_str());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FaultInjectionTest,
    ::testing::Values(Scenario{"write", ENOSPC, false}, Scenario{"rename", EXDEV, false},
                      Scenario{"rename", EACCES, false}, Scenario{"open", EACCES, false},
                      Scenario{"fsync", EIO, false}, Scenario{"mkdir", EACCES, false},
                      Scenario{"remove", EACCES, false}, Scenario{"readdir", EIO, false},
                      Scenario{"write", ENOSPC, true}, Scenario{"rename", EACCES, true},
                      Scenario{"remove", EACCES, true}, Scenario{"open", EMFILE, true},
                      Scenario{"mkdir", ENOSPC, true}, Scenario{"readdir", EIO, true},
                      Scenario{"readdir", EIO, false, true}, Scenario{"open", EACCES, false, true},
                      Scenario{"write", ENOSPC, false, true},
                      Scenario{"mkdir", EACCES, false, true},
                      Scenario{"rename", EXDEV, false, true}),
    [](const ::testing::TestParamInfo<Scenario>& info) { return Name(info.param); });

}  // namespace
