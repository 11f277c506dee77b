// Checking an update: applying it with the updater to a scratch copy of the
// old tree and comparing the result with the new tree's listing.
#ifndef UPDATER_BUILDER_VERIFY_H_
#define UPDATER_BUILDER_VERIFY_H_

#include <string>
#include <vector>

#include "archive/qex.h"
#include "builder/scan.h"

// Compares the tree at `actual_root` (the result of an update) with the
// expected listing: names, kinds, file bytes and permission bits, and the
// target text of links. With `copy_links`, links are followed and dangling
// ones are not compared. Every
// difference is appended to `differences` as one line.
void CompareTrees(const TreeListing& expected, const std::string& actual_root, bool copy_links,
                  std::vector<std::string>* differences);

// Creates `scratch` (which must not exist) holding install/, a faithful copy
// of `old_dir` (modes, links as links), and update/ with the archive, runs
// a copy of `updater` on them as an ordinary update without a window and
// with umask 0, then compares install/ with `expected`. A failed run (with
// the end of the updater's log) or each difference is appended to
// `differences`. False with `error` set when the scratch copy cannot be made.
//
// The copy runs from bin/ of `scratch`, so that the files beside it are this
// run's own and those beside `updater` (the machine's keys and settings) are
// never read: bin/updater.keys holds the public halves of `keys`, so the
// archive must carry a signature by one of them, and with no key there is
// no keys file and the archive is applied unverified; there is no settings
// file, so any channel is accepted. The copy of the program is removed after
// the run; the keys file stays with the rest.
bool VerifyUpdate(const std::string& updater, const QexKeySet* keys, const std::string& archive,
                  const std::string& old_dir, const std::string& scratch,
                  const TreeListing& expected, bool copy_links,
                  std::vector<std::string>* differences, std::string* error);

#endif  // UPDATER_BUILDER_VERIFY_H_
