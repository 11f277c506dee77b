// JSON for machines. Every program that prints JSON builds its report as a
// JsonValue and writes it with JsonText, so that any JSON parser reads it;
// tests read it back with the same library.
//
// Strings are the system's bytes (file names, messages) and JSON text is
// UTF-8: each byte that is not part of valid UTF-8 is written as U+FFFD. Such
// a name is shown as far as it can be, but cannot be told apart from one that
// differs only in those bytes: the reports name files for people and
// programs to read, not to open.
#ifndef UPDATER_BASE_JSON_H_
#define UPDATER_BASE_JSON_H_

#include <nlohmann/json.hpp>
#include <string>

// An object keeps its members in the order they were set.
using JsonValue = nlohmann::ordered_json;

// Sets `*text` to `value` as JSON text, two spaces per level, ending with a
// line feed. False, with `*text` unchanged, only if the library refuses the
// value.
bool JsonText(const JsonValue& value, std::string* text);

#endif  // UPDATER_BASE_JSON_H_
