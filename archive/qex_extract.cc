// Extraction of stored bytes to disk: every entry written unchanged to a file
// of its name below the current directory, never outside it.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "archive/qex.h"
#include "archive/qex_format.h"

namespace {

constexpr size_t kCopyChunk = 4096;

}  // namespace

int qex_entry_name_is_safe(const char* name) {
  if (name[0] == '/') return 0;
  for (const char* p = name; *p;) {
    size_t n = strcspn(p, "/");
    if (n == 2 && p[0] == '.' && p[1] == '.') return 0;
    p += n;
    if (*p == '/') ++p;
  }
  return 1;
}

int qex_prepare_entry_path(const char* name) {
  if (!qex_entry_name_is_safe(name)) {
    fprintf(stderr, "ERROR: refusing entry with an absolute name or a \"..\" component: %s\n",
            name);
    return -1;
  }
  std::string prefix(name);
  for (size_t slash = prefix.find('/'); slash != std::string::npos;
       slash = prefix.find('/', slash + 1)) {
    // Existing directories are fine; anything else shows up when the file is
    // created.
    mkdir(prefix.substr(0, slash).c_str(), 0755);
  }
  return 0;
}

int qex_test_callback(QexArchive* archive, QexEntry* entry, void* /*closure*/) {
  if (qex_prepare_entry_path(entry->name) != 0) return -1;
  int fd = creat(entry->name, entry->flags & kQexPermissionMask);
  if (fd < 0) {
    fprintf(stderr, "ERROR: could not create file in qex_test_callback()\n");
    perror(entry->name);
    return -1;
  }
  FILE* out = fdopen(fd, "wb");
  if (!out) {
    close(fd);
    return -1;
  }
  char buf[kCopyChunk];
  uint32_t position = 0;
  int n;
  while ((n = qex_read_entry(archive, entry, position, buf, sizeof(buf))) > 0) {
    if (fwrite(buf, static_cast<size_t>(n), 1, out) != 1) break;
    position += static_cast<uint32_t>(n);
  }
  if (fclose(out) != 0) return -1;
  return n == 0 ? 0 : -1;
}

int qex_extract_all(const char* path) {
  QexArchive* archive = qex_open(path);
  if (!archive) return -1;
  int rv = qex_for_each_entry(archive, qex_test_callback, nullptr);
  qex_close(archive);
  return rv;
}
