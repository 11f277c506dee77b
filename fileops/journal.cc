#include "fileops/journal.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>

#include "base/error_codes.h"
#include "base/update_log.h"
#include "fileops/beneath.h"
#include "fileops/fileops.h"

namespace {

// Far more than the records of any real update: a larger file is not a run's.
constexpr off_t kMaxJournalSize = off_t{256} << 20;

size_t FieldCount(char type) {
  switch (type) {
    case kJournalPlanned:
    case kJournalBackup:
      return 3;
    case kJournalCreate:
    case kJournalMove:
      return 2;
    case kJournalBegin:
    case kJournalRmdir:
      return 1;
    case kJournalCommit:
    case kJournalRolledBack:
    case kJournalFinished:
      return 0;
    default:
      return SIZE_MAX;
  }
}

}  // namespace

int Journal::Begin(const char* path, const char* identity) {
  Close();
  // Never through a link: the name is the run's, a link's target is not.
  fd_ = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    int err = errno;
    LOG("failed to create the journal: %s, err: %d", path, err);
    return kWriteError;
  }
  return Add(kJournalBegin, {identity}, true);
}

int Journal::Add(JournalType type, std::initializer_list<const char*> fields, bool durable) {
  if (fd_ < 0) return kOk;
  std::string record(1, static_cast<char>(type));
  for (const char* field : fields) record.append(field).push_back('\0');
  record.push_back('\n');
  // One write per record: a kill leaves it whole or absent.
  bool ok = write(fd_, record.data(), record.size()) == static_cast<ssize_t>(record.size());
  if (ok && durable) ok = fdatasync(fd_) == 0;
  if (!ok) {
    int err = errno;
    LOG("failed to write the journal, err: %d", err);
    return kWriteError;
  }
  return kOk;
}

int Journal::Sync() {
  if (fd_ < 0 || fdatasync(fd_) == 0) return kOk;
  int err = errno;
  LOG("failed to write the journal, err: %d", err);
  return kWriteError;
}

void Journal::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool read_journal(int fd, std::vector<JournalRecord>* out, std::string* reason) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *reason = "not a regular file";
    return false;
  }
  if (st.st_size > kMaxJournalSize) {
    *reason = "larger than a run writes";
    return false;
  }
  std::string text;
  char buf[65536];
  for (;;) {
    ssize_t n = pread(fd, buf, sizeof(buf), static_cast<off_t>(text.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *reason = "cannot be read";
      return false;
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
    if (text.size() > static_cast<size_t>(kMaxJournalSize)) {
      *reason = "larger than a run writes";
      return false;
    }
  }
  // A power loss may leave the unflushed end of the file zero-filled: the
  // records there were never written. A whole record ends with a line feed.
  if (!text.empty() && text.back() == '\0') text.resize(text.find_last_not_of('\0') + 1);
  for (size_t pos = 0; pos < text.size();) {
    JournalRecord record{text[pos++], {}};
    size_t count = FieldCount(record.type);
    if (count == SIZE_MAX) {
      *reason = "a record of unknown type";
      return false;
    }
    while (record.fields.size() < count) {
      size_t end = text.find('\0', pos);
      if (end == std::string::npos) return true;  // cut short: the end
      record.fields.push_back(text.substr(pos, end - pos));
      pos = end + 1;
    }
    if (pos == text.size()) return true;
    if (text[pos] != '\n') {
      *reason = "a record with too many fields";
      return false;
    }
    ++pos;
    out->push_back(std::move(record));
  }
  return true;
}

bool is_backup_name_of(const std::string& name, const std::string& path) {
  const std::string base = path + kBackupSuffix;
  if (name.compare(0, base.size(), base) != 0 || name.size() >= kMaxPath) return false;
  if (name.size() == base.size()) return true;
  // "-N" as FreshName makes it: 1 to 999, no leading zero.
  const std::string n = name.substr(base.size());
  if (n.size() < 2 || n.size() > 4 || n[0] != '-' || n[1] == '0') return false;
  return strspn(n.c_str() + 1, "0123456789") == n.size() - 1;
}

namespace {

// A relative path of the installation as the manifest's path rules allow it.
bool ValidPath(const std::string& path) {
  if (path.empty() || path.size() >= kMaxPath || path[0] == '/') return false;
  for (size_t start = 0; start <= path.size();) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return path.find('\n') == std::string::npos;
}

// The path whose backup `name` is; empty when it is no backup name.
std::string BackedUpPath(const std::string& name) {
  size_t at = name.rfind(kBackupSuffix);
  if (at == std::string::npos || at == 0) return "";
  std::string path = name.substr(0, at);
  return is_backup_name_of(name, path) ? path : "";
}

bool Decimal(const std::string& s) {
  return !s.empty() && s.size() <= 20 && strspn(s.c_str(), "0123456789") == s.size();
}

// Why the record `r` is not one a run writes (given the backup names already
// announced), or null.
const char* RecordProblem(const JournalRecord& r, const std::set<std::string>& announced) {
  const std::vector<std::string>& f = r.fields;
  switch (r.type) {
    case kJournalPlanned:
    case kJournalBackup: {
      if (!ValidPath(f[0]) || !ValidPath(f[1])) return "a backup record with an invalid path";
      if (!is_backup_name_of(f[1], f[0])) return "a backup name the run does not make for its path";
      size_t space = f[2].find(' ');
      if (space == std::string::npos || !Decimal(f[2].substr(0, space)) ||
          !Decimal(f[2].substr(space + 1))) {
        return "a backup record without the file's identity";
      }
      return nullptr;
    }
    case kJournalMove: {
      if (!ValidPath(f[0]) || !ValidPath(f[1])) return "a move record with an invalid path";
      std::string from = BackedUpPath(f[0]);
      if (from.empty() || from != BackedUpPath(f[1]) || f[0] == f[1])
        return "a move between names that are not backups of one path";
      if (!announced.count(f[0])) return "a move of a backup never announced";
      return nullptr;
    }
    case kJournalCreate: {
      if (!ValidPath(f[0])) return "a create record with an invalid path";
      if (!Decimal(f[1])) return "a create record without a directory length";
      unsigned long long len = strtoull(f[1].c_str(), nullptr, 10);
      if (len != 0 && (len >= f[0].size() || f[0][len] != '/'))
        return "a create record whose new directory is no leading part of its path";
      return nullptr;
    }
    case kJournalRmdir:
      return ValidPath(f[0]) ? nullptr : "a directory record with an invalid path";
    default:
      return nullptr;
  }
}

}  // namespace

bool validate_journal(const std::vector<JournalRecord>& records, std::string* reason) {
  std::set<std::string> announced;
  bool committed = false, ended = false;
  for (size_t i = 0; i < records.size(); ++i) {
    const JournalRecord& r = records[i];
    const char* problem = nullptr;
    if ((i == 0) != (r.type == kJournalBegin)) {
      problem = "the begin record is not the first and only one";
    } else if (ended) {
      problem = "a record after the end of the run";
    } else if (committed && r.type != kJournalFinished) {
      problem = "a change after the commit";
    } else if (!committed && r.type == kJournalFinished) {
      problem = "a finished record without a commit";
    } else {
      problem = RecordProblem(r, announced);
    }
    if (problem) {
      *reason = problem;
      return false;
    }
    if (r.type == kJournalPlanned || r.type == kJournalBackup || r.type == kJournalMove)
      announced.insert(r.fields[1]);
    committed |= r.type == kJournalCommit;
    ended |= r.type == kJournalRolledBack || r.type == kJournalFinished;
  }
  return true;
}

int remove_tree_keeping(int root, const char* dir, const char* keep) {
  char name[NAME_MAX + 1];
  ScopedFd parent(open_parent_dir(root, dir, name));
  ScopedFd fd(parent.ok() ? openat(parent.get(), name,
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
                          : -1);
  return fd.ok() ? remove_entries_at(fd.get(), keep) : -1;
}
