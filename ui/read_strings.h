// The strings file beside the program ("<program>.ini"): an ini-style file
// whose "Strings" section supplies the progress window's title and text.
//
// Syntax, byte for byte: lines end at any run of "\r" / "\n"; a ";" or "#" as
// the very first byte makes a comment; leading blanks are skipped; "[name]"
// (optionally followed by blanks) switches sections; inside the wanted
// section "key=value" assigns, where blanks before "=" belong to the key and
// everything after the first "=" is the value.
#ifndef UPDATER_UI_READ_STRINGS_H_
#define UPDATER_UI_READ_STRINGS_H_

#include <cstddef>

// A value holds at most 599 bytes of text and a NUL.
constexpr size_t kIniValueSize = 600;
constexpr const char kDefaultIniSection[] = "Strings";

struct WindowStrings {
  char title[kIniValueSize] = "";
  char info[kIniValueSize] = "";
};

// Splits `*cursor` in place. Returns null when `cursor` or `*cursor` is null.
// Skips the bytes of `delimiters` at the cursor; when the text ends there the
// cursor is left at the end and null is returned. Otherwise the token starts
// there and ends at the next delimiter byte, which is overwritten with NUL, and
// the cursor moves just past it; when no delimiter follows, the token runs to
// the end of the text and `*cursor` becomes null.
char* NextIniToken(const char* delimiters, char** cursor);

// Reads the values of `keys[0..key_count)` from `section` (null: "Strings") of
// the file at `path` into `values[0..key_count)`. Every value is first set to
// the empty string; a value longer than 599 bytes is cut to its first 599.
// Every matching key line counts, so a key given twice counts twice and its
// later value wins.
// Returns 0 when the number of matching key lines equals key_count; 5 when it
// is smaller (or larger); 6 when the file cannot be opened, is not a regular
// file, is empty or cannot be read whole; 10 when there is no memory for its
// contents.
// The file is opened without blocking, so a FIFO in its place is refused (6)
// rather than waited on.
int ReadIniSection(const char* path, const char* const keys[], int key_count,
                   char (*values)[kIniValueSize], const char* section = nullptr);

// The same from the file open at `fd` (read from its start with pread; the
// descriptor stays the caller's), for a caller that checked what it opened.
int ReadIniSectionFrom(int fd, const char* const keys[], int key_count,
                       char (*values)[kIniValueSize], const char* section = nullptr);

// Reads "Title" and "Info" from the "Strings" section of `path` into
// `strings`. Returns ReadIniSection's result; `strings` is meant to be used
// only when it is 0.
int ReadWindowStrings(const char* path, WindowStrings* strings);

#endif  // UPDATER_UI_READ_STRINGS_H_
