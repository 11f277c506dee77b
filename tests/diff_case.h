// Generated updates and installations on which `updater --check` must predict
// the real run: the generator and runner of the differential test and of its
// fuzz target. A case is an installation (files of a few sizes, directories,
// links, sometimes precomplete, product-version, a journal; sometimes the
// apply-to directory is missing or a file), an update.qex whose manifest
// mixes every action, with entries and patches valid or broken in the ways a
// check can see and sometimes an undecodable entry no line names, and
// sometimes a keys or settings file beside the program. Everything follows from the choices, so a seed reproduces it.
#ifndef UPDATER_TESTS_DIFF_CASE_H_
#define UPDATER_TESTS_DIFF_CASE_H_

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace diff_case {

// Where a case's choices come from: the bytes a fuzzer gives, one or two per
// choice, then a generator seeded with `seed` once they run out.
class Choices {
 public:
  explicit Choices(uint64_t seed, const uint8_t* data = nullptr, size_t size = 0)
      : gen_(seed), data_(data), size_(size) {}
  uint32_t Pick(uint32_t n);  // in [0, n)
  bool Chance(uint32_t percent) { return Pick(100) < percent; }
  template <typename T>
  const T& Of(const std::vector<T>& v) {
    return v[Pick(static_cast<uint32_t>(v.size()))];
  }

 private:
  std::mt19937_64 gen_;
  const uint8_t* data_;
  size_t size_;
};

// What one case gave.
struct Result {
  std::string description;  // one line: the manifest and what was done to the case
  int predicted = -1;       // the code --check reported, -1 when absent
  int got = -1;             // the code of the run's status file, -1 when unreadable
  int check_exit = -1, run_exit = -1;
  std::string changed;     // what the check changed in the installation or update directory
  bool must_fail = false;  // the manifest applies a patch that the generator broke
  // The check kept its promise: same code, matching exit codes, nothing
  // changed; and no run succeeded that had to fail.
  bool Agrees() const;
  std::string Mismatch() const;  // one line: predicted, got, exits, changes
};

// One worker's directories, below `root` (which must exist and stay for its
// lifetime): a copy of the updater beside which the keys and settings files
// go, two key pairs, and the case's installation and update directory.
// Workers on different roots may run side by side.
class Worker {
 public:
  // `updater` is the built program. ok() is false when the copy or the keys
  // could not be made.
  Worker(std::string root, const std::string& updater);
  bool ok() const { return ok_; }
  // Builds the case from `choices`, runs `--check` (as text or JSON),
  // compares the installation, then runs the update in place.
  Result Run(Choices& choices);

 private:
  // Runs the updater copy in `cwd` (or here); its standard output into `out`.
  int Exec(const std::vector<std::string>& args, std::string* out, const char* cwd = nullptr);

  std::string root_, program_;
  std::vector<std::string> env_;
  bool ok_ = false;
};

}  // namespace diff_case

#endif  // UPDATER_TESTS_DIFF_CASE_H_
