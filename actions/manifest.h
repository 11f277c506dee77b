// Reading manifest text: the whole file into one buffer, in-place tokenising,
// and the rules for the relative paths that manifest lines carry.
#ifndef UPDATER_ACTIONS_MANIFEST_H_
#define UPDATER_ACTIONS_MANIFEST_H_

#include <memory>

// Delimiter sets for next_token.
constexpr const char kLineDelimiters[] = "\r\n";
constexpr const char kWordDelimiters[] = " \t";
constexpr const char kQuoteDelimiter[] = "\"";

// Reads the file at `path` whole into a new buffer of its size + 1 bytes,
// NUL-terminated. Null (after a log line, except for a failed allocation) when
// the file cannot be opened, examined or read in full; `error` (if given) then
// says 6 (also for anything but a regular file; a FIFO does not block), 5 when
// it is larger than kMaxManifestSize (base/paths.h), or 13 when there was no memory for the text,
// else 0. A relative path is read beneath `root`, the installation (fileops.h).
std::unique_ptr<char[]> GetManifestContents(int root, const char* path, int* error = nullptr);
// The same for the file open for reading on `fd` (left open), read from its
// start; `path` names it in the log lines.
std::unique_ptr<char[]> ReadManifestFile(int fd, const char* path, int* error = nullptr);

// Returns the next non-empty token of `*cursor` for the bytes in `delimiters`,
// or null when only delimiters (or nothing) remain. Leading delimiters are
// skipped; the one delimiter that ends the token is overwritten with NUL and
// consumed. `*cursor` moves past the token; it becomes null when the token
// ran to the end of the text, and points at the NUL when only delimiters were
// left. A null `*cursor` yields null.
char* next_token(const char* delimiters, char** cursor);

// Reads the next quoted argument from `*cursor` and checks the path rules: a
// relative path without "..", and for a directory (`is_dir`) a trailing "/",
// which is removed. No directory the path passes through may be a symbolic
// link that leads outside the working directory (links within it are
// followed). Returns a pointer into the text, or null after logging why.
char* get_valid_path(char** cursor, bool is_dir = false);

// The path rules of get_valid_path for a token already taken from the text
// (`path` is modified: a directory's trailing slash is removed). Returns `path`
// or null after logging why.
char* check_path_rules(char* path, bool is_dir);

#endif  // UPDATER_ACTIONS_MANIFEST_H_
