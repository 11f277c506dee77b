#include "actions/patch_action.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "actions/check_report.h"
#include "actions/manifest.h"
#include "actions/update_context.h"
#include "archive/archive_reader.h"
#include "base/update_log.h"
#include "fileops/beneath.h"
#include "patch/crc32.h"
#include "patch/patch.h"

namespace {

// Opens `name` in the directory `dir` as a stream, never through a link and
// never blocking on a FIFO; `flags` say how (O_RDONLY, or a new file).
FILE* OpenAt(int dir, const char* name, int flags, const char* mode) {
  int fd = openat(dir, name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  FILE* fp = fdopen(fd, mode);
  if (!fp) close(fd);
  return fp;
}

}  // namespace

PatchAction::~PatchAction() {
  if (patch_path[0] != '\0') unlinkat(work_dir(), patch_path, 0);
}

int PatchAction::Parse(char* line) {
  entry_name = next_token(kQuoteDelimiter, &line);
  if (!entry_name) return kParseError;
  if (!next_token(kQuoteDelimiter, &line)) return kParseError;
  target_path = get_valid_path(&line, false);
  return target_path ? kOk : kParseError;
}

int PatchAction::Check() {
  LOG("PREPARE PATCH %s", target_path);
  UpdateContext& run = context();
  if (!(run.archive && run.archive->HasEntry(entry_name))) {
    return Refuse(kReadError, false, target_path, "no entry of this name in the archive: %s",
                  entry_name);
  }
  source_ = planned().Lookup(target_path);
  if (source_.kind == PlannedTree::Kind::kLink && !source_.planned) {
    // Read through the link, as Execute opens it.
    const std::string at = planned().DiskName(target_path);
    if (stat_beneath(context().install_dir, at.c_str(), &source_.st, true) != 0) {
      source_.kind = PlannedTree::Kind::kAbsent;
    } else {
      source_.kind =
          S_ISREG(source_.st.st_mode) ? PlannedTree::Kind::kFile : PlannedTree::Kind::kOther;
    }
  }
  if (source_.kind == PlannedTree::Kind::kAbsent) {
    return Refuse(kReadError, false, target_path, "no file to patch: %s", target_path);
  }
  // What a link an earlier line makes leads to is known only once it is made.
  if (source_.kind == PlannedTree::Kind::kLink && source_.planned) {
    return Refuse(kReadError, false, target_path,
                  "the file to patch is a link an earlier line makes: %s", target_path);
  }
  if (source_.kind != PlannedTree::Kind::kFile && !source_.planned) {
    return Refuse(kUnexpectedType, false, target_path,
                  "the file to patch is not a regular file: %s", target_path);
  }
  std::string why;
  if (planned().CanWrite(target_path, &why) != kOk) {
    return Refuse(kWriteError, false, target_path, "cannot write %s: %s", target_path, why.c_str());
  }
  if (run.report) {
    // What Stage finds once it has extracted the patch.
    const DecodedEntry& entry = run.report->Entry(run.archive, entry_name);
    if (entry.error) {
      return Refuse(entry.error, false, target_path, "the entry cannot be decoded: %s", entry_name);
    }
    if (entry.patch_error) {
      return Refuse(entry.patch_error, false, target_path, "%s is not a valid patch", entry_name);
    }
    header = entry.header;
    int rv = CheckSource();
    if (rv != kOk) return rv;
    run.report->Writes(entry.size);
    run.report->Writes(header.dest_length);
    Plan(Keyword(), target_path, "%u -> %u bytes, CRC 0x%08x %s", header.source_length,
         header.dest_length, header.source_crc,
         source_.planned ? "of the file an earlier line writes" : "matches");
  }
  planned().Set(target_path, PlannedTree::Kind::kFile);
  return kOk;
}

int PatchAction::CheckSource() {
  if (source_.planned) {
    // Not on disk before Execute: the run checks it there. A check knows the
    // entry an earlier add writes it from.
    UpdateContext& run = context();
    if (!run.report || source_.entry.empty()) return kOk;
    const DecodedEntry& from = run.report->Entry(run.archive, source_.entry);
    if (from.size != header.source_length) {
      Refuse(kUnexpectedType, true, target_path, "is %llu bytes, the patch expects %u",
             static_cast<unsigned long long>(from.size), header.source_length);
    } else if (from.crc != header.source_crc) {
      Refuse(kCrcError, true, target_path, "has CRC 0x%08x, the patch expects 0x%08x", from.crc,
             header.source_crc);
    }
    return kOk;
  }
  const std::string at = planned().DiskName(target_path);
  ScopedFile source(
      fdopen(open_beneath(context().install_dir, at.c_str(), O_RDONLY | O_NONBLOCK), "rb"));
  struct stat st;
  if (!source || fstat(fileno(source.get()), &st) != 0) {
    int err = errno;
    return Refuse(kReadError, false, target_path, "unable to open destination file: %s, err: %d",
                  target_path, err);
  }
  if (!S_ISREG(st.st_mode)) {
    return Refuse(kUnexpectedType, false, target_path,
                  "the file to patch is not a regular file: %s", target_path);
  }
  if (static_cast<uint64_t>(st.st_size) != header.source_length) {
    return Refuse(kUnexpectedType, false, target_path,
                  "LoadSourceFile: destination file size %lld does not match expected size %u: %s",
                  static_cast<long long>(st.st_size), static_cast<unsigned>(header.source_length),
                  target_path);
  }
  uint32_t crc = 0;
  unsigned char buffer[1 << 16];
  for (uint64_t left = header.source_length; left > 0;) {
    size_t n = fread(buffer, 1, static_cast<size_t>(std::min<uint64_t>(sizeof(buffer), left)),
                     source.get());
    if (n == 0) {
      int err = errno;
      return Refuse(kReadError, false, target_path,
                    "LoadSourceFile: error reading destination file: %s, err: %d", target_path,
                    err);
    }
    crc = crc32_bzip2_extend(crc, buffer, n);
    left -= n;
  }
  if (crc != header.source_crc) {
    return Refuse(kCrcError, false, target_path,
                  "LoadSourceFile: destination file crc 0x%08x does not match expected crc "
                  "0x%08x: %s",
                  static_cast<unsigned>(crc), static_cast<unsigned>(header.source_crc),
                  target_path);
  }
  return kOk;
}

uint64_t PatchAction::PrepareWork() {
  const int64_t stored = context().archive ? context().archive->StoredLength(entry_name) : -1;
  return stored > 0 ? static_cast<uint64_t>(stored) : 0;
}

int PatchAction::Stage() {
  int rv = backup_.Plan(backups(), target_path);
  if (rv != kOk) return rv;
  patch_index = context().next_patch_index++;
  snprintf(patch_path, sizeof(patch_path), "%d.patch", patch_index);
  // The work directory is the run's own: a name taken there is no file of
  // this action, and is neither replaced nor followed.
  if (!TakeEarlyEntryAt(work_dir(), patch_path)) {
    ScopedFile fp(OpenAt(work_dir(), patch_path, O_WRONLY | O_CREAT | O_EXCL, "wb"));
    if (!fp) {
      int err = errno;
      LOG("PREPARE PATCH: unable to create the patch file: %s, err: %d", patch_path, err);
      patch_path[0] = '\0';
      return kWriteError;
    }
    StepMeter meter = Meter();
    rv = context().archive->ExtractToStream(entry_name, fp.get(), &meter);
    // Data still buffered is lost if the close fails; the file would be short.
    if (fp.close() != 0 && rv == kOk) rv = kWriteError;
    if (rv != kOk) {
      int err = errno;
      LOG("PREPARE PATCH: unable to extract %s to %s, rv: %d, err: %d", entry_name, patch_path, rv,
          err);
      return rv;
    }
  }
  ScopedFile patch(OpenAt(work_dir(), patch_path, O_RDONLY, "rb"));
  if (!patch) {
    int err = errno;
    LOG("unable to open the patch file: %s, err: %d", patch_path, err);
    return kReadError;
  }
  rv = read_patch_header(patch.get(), &header);
  if (rv != kOk) {
    int err = errno;
    LOG("unable to read the patch header: %s, rv: %d, err: %d", patch_path, rv, err);
    return rv;
  }
  // The installed file is read and summed, then the new one written.
  execute_work = uint64_t{header.source_length} + header.dest_length;
  progress_cost = WorkCost(execute_work, kPatchCostUnit);
  return CheckSource();
}

int PatchAction::Execute() {
  LOG("EXECUTE PATCH %s", target_path);
  ScopedFile patch(OpenAt(work_dir(), patch_path, O_RDONLY, "rb"));
  if (!patch) {
    int err = errno;
    LOG("unable to open the patch file: %s, err: %d", patch_path, err);
    return kReadError;
  }
  int rv = read_patch_header(patch.get(), &header);
  if (rv != kOk) {
    int err = errno;
    LOG("unable to read the patch header: %s, rv: %d, err: %d", patch_path, rv, err);
    return rv;
  }

  rv = backup_make_way(backups(), target_path);
  if (rv != kOk) return rv;
  ScopedFile source(open_with_mode(context().install_dir, target_path, "rb", 0));
  if (!source) {
    int err = errno;
    LOG("unable to open destination file: %s, err: %d", target_path, err);
    return kReadError;
  }
  rv = LoadSourceFile(source.get());
  source.close();
  if (rv != kOk) {
    LOG("LoadSourceFile failed: %s, rv: %d", target_path, rv);
    return rv;
  }

  struct stat st;
  if (stat_beneath(context().install_dir, target_path, &st, true) != 0) {
    int err = errno;
    LOG("failed to read file status info: %s, err: %d", target_path, err);
    return kReadError;
  }

  // Every check has passed; from here on the installed file is changed.
  rv = backup_.Create(backups(), target_path);
  if (rv != kOk) return rv;

  // The patched file keeps the old one's mode, owner and group.
  ScopedFile out(open_with_mode(context().install_dir, target_path, "wb+", st.st_mode, &st));
  if (!out) {
    int err = errno;
    LOG("unable to create new file: %s, err: %d", target_path, err);
    return kWriteError;
  }
  StepMeter meter = Meter();
  rv = write_patched_file(header, patch.get(), source_data.get(), out.get(), &meter);

  patch.close();
  unlinkat(work_dir(), patch_path, 0);
  patch_path[0] = '\0';
  source_data.reset();

  // The last buffered bytes reach the file only here; a failed close means a
  // short file that must not be committed.
  if (out.close() != 0 && rv == kOk) rv = kWriteError;
  if (rv != kOk) {
    int err = errno;
    LOG("unable to write the patched file: %s, rv: %d, err: %d", target_path, rv, err);
  }
  return rv;
}

int PatchAction::LoadSourceFile(FILE* fp) {
  struct stat st;
  if (fstat(fileno(fp), &st) != 0) {
    int err = errno;
    LOG("LoadSourceFile: unable to stat destination file: %s, err: %d", target_path, err);
    return kReadError;
  }
  if (static_cast<uint64_t>(st.st_size) != header.source_length) {
    LOG("LoadSourceFile: destination file size %lld does not match expected size %u: %s",
        static_cast<long long>(st.st_size), static_cast<unsigned>(header.source_length),
        target_path);
    return kUnexpectedType;
  }
  source_data.reset(new (std::nothrow) unsigned char[header.source_length]);
  if (!source_data) return kFileNoMemory;
  // In pieces, so that the progress moves while a large file is read.
  constexpr size_t kPiece = size_t{4} << 20;
  StepMeter meter = Meter();
  uint32_t crc = 0;
  for (size_t done = 0; done < header.source_length;) {
    const size_t n = std::min<size_t>(kPiece, header.source_length - done);
    if (!read_exact(fp, source_data.get() + done, n)) {
      int err = errno;
      LOG("LoadSourceFile: error reading destination file: %s, err: %d", target_path, err);
      return kReadError;
    }
    crc = crc32_bzip2_extend(crc, source_data.get() + done, n);
    meter.Advance(n);
    done += n;
  }
  if (crc != header.source_crc) {
    LOG("LoadSourceFile: destination file crc 0x%08x does not match expected crc 0x%08x: %s",
        static_cast<unsigned>(crc), static_cast<unsigned>(header.source_crc), target_path);
    return kCrcError;
  }
  return kOk;
}

Action::EarlyEntry PatchAction::GetEarlyEntry() {
  EarlyEntry entry;
  entry.name = entry_name;
  entry.mode = 0600;
  entry.in_prepare = true;
  return entry;
}

void PatchAction::Finish(int status) {
  LOG("FINISH PATCH %s", target_path);
  if (status != 0) {
    backup_.Restore(target_path);
  } else {
    backup_.Delete();
  }
}
