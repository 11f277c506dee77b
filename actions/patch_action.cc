#include "actions/patch_action.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "actions/manifest.h"
#include "archive/archive_reader.h"
#include "base/run_settings.h"
#include "base/update_log.h"
#include "patch/crc32.h"
#include "patch/patch.h"

int32_t nextPatchIndex = 0;

PatchAction::~PatchAction() {
  if (patch_path[0] != '\0') remove(patch_path);
}

int PatchAction::Parse(char* line) {
  entry_name = next_token(kQuoteDelimiter, &line);
  if (!entry_name) return kParseError;
  if (!next_token(kQuoteDelimiter, &line)) return kParseError;
  target_path = get_valid_path(&line, false);
  return target_path ? kOk : kParseError;
}

int PatchAction::Prepare() {
  LOG("PREPARE PATCH %s", target_path);
  patch_index = nextPatchIndex++;
  int n = snprintf(patch_path, sizeof(patch_path), "%s/updating/%d.patch", applyToDir, patch_index);
  // A cut name could be another action's file, or no file of the run at all.
  if (n < 0 || static_cast<size_t>(n) >= sizeof(patch_path)) {
    LOG("PREPARE PATCH: patch file path too long: %s/updating/%d.patch", applyToDir, patch_index);
    patch_path[0] = '\0';
    return kWriteError;
  }
  remove(patch_path);
  if (TakeEarlyEntry(patch_path)) return kOk;
  ScopedFile fp(fopen(patch_path, "wb"));
  if (!fp) return kWriteError;
  int rv = gArchiveReader.ExtractToStream(entry_name, fp.get());
  // Data still buffered is lost if the close fails; the file would be short.
  if (fp.close() != 0 && rv == kOk) rv = kWriteError;
  return rv;
}

int PatchAction::Execute() {
  LOG("EXECUTE PATCH %s", target_path);
  ScopedFile patch(fopen(patch_path, "rb"));
  if (!patch) return kReadError;
  int rv = read_patch_header(patch.get(), &header);
  if (rv != kOk) return rv;

  ScopedFile source(fopen(target_path, "rb"));
  if (!source) {
    int err = errno;
    LOG("unable to open destination file: %s, err: %d", target_path, err);
    return kReadError;
  }
  rv = LoadSourceFile(source.get());
  source.close();
  if (rv != kOk) {
    LOG("LoadSourceFile failed");
    return rv;
  }

  struct stat st;
  if (stat(target_path, &st) != 0) {
    int err = errno;
    LOG("failed to read file status info: %s, err: %d", target_path, err);
    return kReadError;
  }

  // Every check has passed; from here on the installed file is changed.
  rv = backup_create(target_path);
  if (rv != kOk) return rv;

  ScopedFile out(open_with_mode(target_path, "wb+", st.st_mode));
  if (!out) {
    int err = errno;
    LOG("unable to create new file: %s, err: %d", target_path, err);
    return kWriteError;
  }
  rv = write_patched_file(header, patch.get(), source_data.get(), out.get());

  patch.close();
  remove(patch_path);
  patch_path[0] = '\0';
  source_data.reset();

  // The last buffered bytes reach the file only here; a failed close means a
  // short file that must not be committed.
  if (out.close() != 0 && rv == kOk) rv = kWriteError;
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
    LOG("LoadSourceFile: destination file size %d does not match expected size %d",
        static_cast<int>(st.st_size), static_cast<int>(header.source_length));
    return kUnexpectedType;
  }
  source_data.reset(new (std::nothrow) unsigned char[header.source_length]);
  if (!source_data) return kFileNoMemory;
  if (!read_exact(fp, source_data.get(), header.source_length)) {
    LOG("LoadSourceFile: error reading destination file: %s", target_path);
    return kReadError;
  }
  uint32_t crc = crc32_bzip2(source_data.get(), header.source_length);
  if (crc != header.source_crc) {
    LOG("LoadSourceFile: destination file crc %d does not match expected crc %d",
        static_cast<int32_t>(crc), static_cast<int32_t>(header.source_crc));
    return kCrcError;
  }
  return kOk;
}

Action::EarlyEntry PatchAction::GetEarlyEntry() {
  EarlyEntry entry;
  entry.name = entry_name;
  entry.mode = 0666;
  entry.in_prepare = true;
  return entry;
}

void PatchAction::Finish(int status) {
  LOG("FINISH PATCH %s", target_path);
  if (status != 0) {
    backup_restore(target_path);
  } else {
    backup_delete(target_path);
  }
}
