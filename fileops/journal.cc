#include "fileops/journal.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cstring>

#include "base/error_codes.h"
#include "base/update_log.h"
#include "fileops/beneath.h"
#include "fileops/fileops.h"

Journal gJournal;

namespace {

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

bool read_journal(const char* path, std::vector<JournalRecord>* out) {
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  ScopedFile f(fd >= 0 ? fdopen(fd, "rb") : nullptr);
  if (!f) {
    if (fd >= 0) close(fd);
    return false;
  }
  std::string text;
  char buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof(buf), f.get())) > 0;) text.append(buf, n);
  if (ferror(f.get())) return false;
  for (size_t pos = 0; pos < text.size();) {
    JournalRecord record{text[pos++], {}};
    size_t count = FieldCount(record.type);
    if (count == SIZE_MAX) break;
    while (record.fields.size() < count) {
      size_t end = text.find('\0', pos);
      if (end == std::string::npos) return true;
      record.fields.push_back(text.substr(pos, end - pos));
      pos = end + 1;
    }
    if (pos >= text.size() || text[pos] != '\n') break;
    ++pos;
    out->push_back(std::move(record));
  }
  return true;
}

int remove_tree_keeping(const char* dir, const char* keep) {
  char name[NAME_MAX + 1];
  ScopedFd parent(open_parent_dir(dir, name));
  ScopedFd fd(parent.ok() ? openat(parent.get(), name,
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
                          : -1);
  return fd.ok() ? remove_entries_at(fd.get(), keep) : -1;
}
