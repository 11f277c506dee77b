#include "ui/read_strings.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fileops/fileops.h"

namespace {

struct FreeDeleter {
  void operator()(char* p) const { free(p); }
};

// Reads the whole file into a NUL-terminated heap buffer.
int ReadWholeFile(const char* path, std::unique_ptr<char, FreeDeleter>* contents) {
  ScopedFile file(fopen(path, "r"));
  if (!file) return kReadError;
  // A directory opens and seeks to a bogus end; only a regular file has a
  // length worth allocating for.
  struct stat st;
  if (fstat(fileno(file.get()), &st) != 0 || !S_ISREG(st.st_mode)) return kReadError;
  if (fseeko(file.get(), 0, SEEK_END) != 0) return kReadError;
  off_t length = ftello(file.get());
  if (length <= 0 || static_cast<unsigned long long>(length) >= SIZE_MAX) return kReadError;
  size_t size = static_cast<size_t>(length);
  contents->reset(static_cast<char*>(malloc(size + 1)));
  if (!*contents) return kStringsNoMemory;
  if (fseeko(file.get(), 0, SEEK_SET) != 0 || fread(contents->get(), 1, size, file.get()) != size) {
    return kReadError;
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
  if (!section) section = kDefaultIniSection;
  for (int i = 0; i < key_count; ++i) values[i][0] = '\0';

  std::unique_ptr<char, FreeDeleter> contents;
  int rv = ReadWholeFile(path, &contents);
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
