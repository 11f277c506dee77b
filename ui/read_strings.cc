#include "ui/read_strings.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fileops/fileops.h"

namespace {

struct FreeDeleter {
  void operator()(char* p) const { free(p); }
};

// Reads the whole file open at `fd` into a NUL-terminated heap buffer.
int ReadWholeFile(int fd, std::unique_ptr<char, FreeDeleter>* contents) {
  // A directory or a FIFO has no length worth allocating for; only a regular
  // file does.
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return kReadError;
  if (st.st_size <= 0 || static_cast<unsigned long long>(st.st_size) >= SIZE_MAX) {
    return kReadError;
  }
  size_t size = static_cast<size_t>(st.st_size);
  contents->reset(static_cast<char*>(malloc(size + 1)));
  if (!*contents) return kStringsNoMemory;
  size_t done = 0;
  while (done < size) {
    ssize_t n = pread(fd, contents->get() + done, size - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return kReadError;
    done += static_cast<size_t>(n);
  }
  contents->get()[size] = '\0';
  return kOk;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Returns whether a header line (starting after its "[") selects `section`.
bool HeaderSelects(char* header, const char* section) {
  // The name runs to the first "]" or, without one, to the end of the line.
  char* rest = strchr(header, ']');
  if (rest) *rest++ = '\0';
  if (header[0] == '\0') return false;
  if (NextIniToken(" \t", &rest)) return false;
  return strcmp(header, section) == 0;
}

}  // namespace

char* NextIniToken(const char* delimiters, char** cursor) {
  if (!cursor || !*cursor) return nullptr;
  char* start = *cursor + strspn(*cursor, delimiters);
  if (*start == '\0') {
    *cursor = start;
    return nullptr;
  }
  char* end = start + strcspn(start, delimiters);
  if (*end == '\0') {
    *cursor = nullptr;
  } else {
    *end = '\0';
    *cursor = end + 1;
  }
  return start;
}

int ReadIniSection(const char* path, const char* const keys[], int key_count,
                   char (*values)[kIniValueSize], const char* section) {
  // Never blocking in open on a FIFO in the file's place.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    for (int i = 0; i < key_count; ++i) values[i][0] = '\0';
    return kReadError;
  }
  int rv = ReadIniSectionFrom(fd, keys, key_count, values, section);
  close(fd);
  return rv;
}

int ReadIniSectionFrom(int fd, const char* const keys[], int key_count,
                       char (*values)[kIniValueSize], const char* section) {
  if (!section) section = kDefaultIniSection;
  for (int i = 0; i < key_count; ++i) values[i][0] = '\0';

  std::unique_ptr<char, FreeDeleter> contents;
  int rv = ReadWholeFile(fd, &contents);
  if (rv != kOk) return rv;

  bool in_section = false;
  int matches = 0;
  char* cursor = contents.get();
  while (char* line = NextIniToken("\r\n", &cursor)) {
    if (line[0] == ';' || line[0] == '#') continue;
    while (IsBlank(*line)) ++line;
    if (*line == '\0') continue;
    if (*line == '[') {
      in_section = HeaderSelects(line + 1, section);
      continue;
    }
    if (!in_section) continue;
    char* value = strchr(line, '=');
    if (!value) continue;
    *value++ = '\0';
    for (int i = 0; i < key_count; ++i) {
      if (strcmp(line, keys[i]) == 0) {
        strncpy(values[i], value, kIniValueSize - 1);
        values[i][kIniValueSize - 1] = '\0';
        ++matches;
        break;
      }
    }
  }
  return matches == key_count ? kOk : kParseError;
}

int ReadWindowStrings(const char* path, WindowStrings* strings) {
  static const char* const kKeys[] = {"Title", "Info"};
  char values[2][kIniValueSize];
  int rv = ReadIniSection(path, kKeys, 2, values, kDefaultIniSection);
  memcpy(strings->title, values[0], kIniValueSize);
  memcpy(strings->info, values[1], kIniValueSize);
  return rv;
}
