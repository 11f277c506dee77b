// qxpatch: applies a QXPATCH1 patch to a file, for checking a patch before it
// goes into an update archive. The source is checked exactly as the updater
// checks an installed file (length and CRC-32/BZIP2) before anything is written.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "base/tool_fail.h"
#include "fileops/fileops.h"
#include "patch/crc32.h"
#include "patch/patch.h"

namespace {

const char kUsage[] =
    "Usage: qxpatch SOURCE PATCH OUTPUT\n"
    "Applies the QXPATCH1 patch PATCH to the file SOURCE and writes the result to\n"
    "OUTPUT (created with SOURCE's permission bits; an existing OUTPUT is replaced\n"
    "only once the whole result is written).\n"
    "SOURCE must have the length and CRC-32/BZIP2 that PATCH records. OUTPUT may be\n"
    "SOURCE itself, but not PATCH. Exit status 0 on success, 1 on any failure.\n"
    "\n"
    "  -h, --help     show this text\n"
    "  -V, --version  show the program's version\n";

const char* Describe(int code) {
  switch (code) {
    case kReadError:
      return "read error";
    case kWriteError:
      return "write error";
    case kPatchNoMemory:
      return "out of memory";
    case kCorruptPatch:
      return "corrupt patch";
    default:
      return "failure";
  }
}

constexpr char kProgram[] = "qxpatch";

int Run(const char* source_path, const char* patch_path, const char* output_path) {
  ScopedFile patch(fopen(patch_path, "rb"));
  if (!patch) return ToolFail(kProgram, "cannot open patch %s: %s", patch_path, strerror(errno));
  PatchHeader header;
  int rv = read_patch_header(patch.get(), &header);
  if (rv != 0) return ToolFail(kProgram, "%s: not a valid patch (%s)", patch_path, Describe(rv));

  ScopedFile source(fopen(source_path, "rb"));
  if (!source) return ToolFail(kProgram, "cannot open source %s: %s", source_path, strerror(errno));
  struct stat st;
  if (fstat(fileno(source.get()), &st) != 0) {
    return ToolFail(kProgram, "cannot examine source %s: %s", source_path, strerror(errno));
  }
  if (static_cast<uint64_t>(st.st_size) != header.source_length) {
    return ToolFail(kProgram, "%s is %jd bytes, the patch expects %" PRIu32, source_path,
                    static_cast<intmax_t>(st.st_size), header.source_length);
  }
  std::unique_ptr<unsigned char[]> data(new (std::nothrow) unsigned char[header.source_length]);
  if (!data) return ToolFail(kProgram, "out of memory for %s", source_path);
  if (!read_exact(source.get(), data.get(), header.source_length)) {
    return ToolFail(kProgram, "cannot read source %s", source_path);
  }
  source.close();
  uint32_t crc = crc32_bzip2(data.get(), header.source_length);
  if (crc != header.source_crc) {
    return ToolFail(kProgram, "%s has CRC 0x%08" PRIX32 ", the patch expects 0x%08" PRIX32,
                    source_path, crc, header.source_crc);
  }

  struct stat patch_st, out_st;
  if (fstat(fileno(patch.get()), &patch_st) == 0 && stat(output_path, &out_st) == 0 &&
      patch_st.st_dev == out_st.st_dev && patch_st.st_ino == out_st.st_ino) {
    return ToolFail(kProgram, "output %s is the patch itself", output_path);
  }
  // The result goes to a new file beside OUTPUT that replaces it only when
  // complete: OUTPUT may be SOURCE, which a failed patch must leave intact.
  std::string temp = std::string(output_path) + ".XXXXXX";
  int fd = mkstemp(&temp[0]);
  if (fd < 0) {
    return ToolFail(kProgram, "cannot create a file beside %s: %s", output_path, strerror(errno));
  }
  ScopedFile out(fdopen(fd, "wb"));
  if (!out) close(fd);
  rv = out && fchmod(fd, st.st_mode & 07777) == 0 ? kOk : kWriteError;
  if (rv == 0) rv = write_patched_file(header, patch.get(), data.get(), out.get());
  long written = out ? ftell(out.get()) : -1;
  if (out.close() != 0 && rv == 0) rv = kWriteError;
  if (rv == 0 && rename(temp.c_str(), output_path) != 0) rv = kWriteError;
  if (rv != 0) {
    unlink(temp.c_str());
    return ToolFail(kProgram, "applying %s to %s failed (%s)", patch_path, output_path,
                    Describe(rv));
  }
  if (written != static_cast<long>(header.dest_length)) {
    fprintf(stderr, "qxpatch: warning: wrote %ld bytes, the patch header says %" PRIu32 "\n",
            written, header.dest_length);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
      fputs(kUsage, stdout);
      return 0;
    }
    if (strcmp(argv[i], "-V") == 0 || strcmp(argv[i], "--version") == 0) {
      printf("qxpatch %s\n", UPDATER_VERSION);
      return 0;
    }
    if (argv[i][0] == '-' && argv[i][1] != '\0') {
      return ToolFail(kProgram, "unknown option %s (see qxpatch --help)", argv[i]);
    }
  }
  if (argc != 4) {
    return ToolFail(kProgram, "expected three arguments, got %d (see qxpatch --help)", argc - 1);
  }
  return Run(argv[1], argv[2], argv[3]);
}
