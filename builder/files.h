// File helpers shared by the steps of make-update. Failures come back as text
// ready for the tool's messages ("cannot read PATH: reason").
#ifndef UPDATER_BUILDER_FILES_H_
#define UPDATER_BUILDER_FILES_H_

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

#include "fileops/fileops.h"

// Buffer size for reading and comparing whole files.
constexpr size_t kIoChunk = size_t{1} << 20;

// strerror(errno).
std::string Errno();

// "a/b"; an empty side gives the other one alone.
std::string JoinPath(const std::string& a, const std::string& b);

// Adds the names in `dir` but "." and ".." to `names` and sorts them
// bytewise. False when the directory cannot be read to its end.
bool ListDirectory(const std::string& dir, std::vector<std::string>* names);

// True when both files can be read and hold the same bytes.
bool FilesEqual(const std::string& a, const std::string& b);

// The whole file; "" when it cannot be opened.
std::string ReadWholeFile(const std::string& path);

// What the symbolic link `path` names; "" when it cannot be read.
std::string ReadLinkText(const std::string& path);

// Creates or truncates `path` and writes `text` as its contents; false with
// `error` ("cannot write PATH: reason") set on failure.
bool WriteTextFile(const std::string& path, const std::string& text, std::string* error);

// Opens `from` for reading and creates `to` (truncating it); false with
// `error` set when either fails.
bool OpenForCopy(const std::string& from, const std::string& to, ScopedFile* in, ScopedFile* out,
                 std::string* error);

// Removes the file or tree at `path` as far as it can, without following
// links; failures are ignored.
void RemoveTree(const std::string& path);

#endif  // UPDATER_BUILDER_FILES_H_
