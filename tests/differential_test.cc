// `updater --check` against the real run on generated cases (diff_case.h):
// the predicted code must be the code the run then ends with, and the check
// must leave every file as it was. DIFF_SEED and DIFF_CASES choose the cases
// (the first seed and how many), to reproduce a reported one; DIFF_EXAMPLES
// how many mismatches of each pair of codes are shown.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testing/test_util.h"
#include "tests/diff_case.h"

namespace {

uint64_t EnvOr(const char* name, uint64_t fallback) {
  const char* v = getenv(name);
  return v && *v ? strtoull(v, nullptr, 10) : fallback;
}

TEST(DifferentialTest, CheckPredictsTheRun) {
  const uint64_t first = EnvOr("DIFF_SEED", 1), cases = EnvOr("DIFF_CASES", 2000),
                 shown_per_class = EnvOr("DIFF_EXAMPLES", 3);
  std::atomic<uint64_t> next{0};
  std::mutex mu;
  std::map<std::string, std::vector<std::string>> mismatches;  // by codes: examples
  std::map<int, int> codes;                                    // the runs' codes: how often
  // Made one after the other: a program copy still open for writing in one
  // thread would be inherited by a process the other starts, and could not
  // be executed while that one lives.
  testing_util::ScopedTempDir dirs[2];
  std::vector<std::unique_ptr<diff_case::Worker>> workers;
  for (const auto& dir : dirs) {
    workers.push_back(std::make_unique<diff_case::Worker>(dir.path(), UPDATER_BINARY));
    ASSERT_TRUE(workers.back()->ok()) << "the updater's copy or the keys could not be made";
  }
  auto work = [&](diff_case::Worker& worker) {
    for (uint64_t i; (i = next++) < cases;) {
      diff_case::Choices choices(first + i);
      const diff_case::Result r = worker.Run(choices);
      std::lock_guard<std::mutex> lock(mu);
      codes[r.got]++;
      if (r.Agrees()) continue;
      const std::string key = std::to_string(r.predicted) + " -> " + std::to_string(r.got) +
                              (r.changed.empty() ? "" : ", files changed");
      mismatches[key].push_back("DIFF_SEED=" + std::to_string(first + i) +
                                " DIFF_CASES=1: " + r.Mismatch() + "\n    " + r.description);
    }
  };
  std::vector<std::thread> threads;
  for (auto& w : workers) threads.emplace_back(work, std::ref(*w));
  for (std::thread& t : threads) t.join();
  // DIFF_KEEP=DIR keeps the directories of the last cases for a look.
  if (const char* keep = getenv("DIFF_KEEP")) {
    for (const auto& dir : dirs) testing_util::RunCommand("cp -a " + dir.path() + " " + keep);
  }

  std::string spread;
  for (const auto& [code, n] : codes)
    spread += " " + std::to_string(code) + ":" + std::to_string(n);
  std::cout << cases << " cases; the runs' codes:" << spread << "\n";
  for (const auto& [key, examples] : mismatches) {
    std::string shown;
    for (size_t i = 0; i < examples.size() && i < shown_per_class; ++i)
      shown += "\n  " + examples[i];
    ADD_FAILURE() << "predicted -> got " << key << ": " << examples.size() << " cases" << shown;
  }
  // The generator must keep exercising both sides: updates that succeed, and
  // many kinds of failure.
  if (cases >= 500) {
    EXPECT_GE(codes[0] * 4, static_cast<int>(cases)) << spread;
    EXPECT_GE(codes.size(), 10u) << spread;
  }
}

}  // namespace
