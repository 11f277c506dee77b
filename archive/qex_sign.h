// C++ ownership of the signature keys of the archive library (qex.h).
#ifndef UPDATER_ARCHIVE_QEX_SIGN_H_
#define UPDATER_ARCHIVE_QEX_SIGN_H_

#include <memory>

#include "archive/qex.h"

struct QexKeysDeleter {
  void operator()(QexKeySet* keys) const { qex_free_keys(keys); }
};
using QexKeys = std::unique_ptr<QexKeySet, QexKeysDeleter>;

#endif  // UPDATER_ARCHIVE_QEX_SIGN_H_
