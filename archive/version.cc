// Comparison of dotted version strings such as "1.0b2", "2.*" or "1.0+".
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "archive/qex.h"

namespace {

constexpr int32_t kStarNumber = INT32_MAX;

// strtol saturated to the 32-bit range.
int32_t ParseNumber(const char* s, char** end) {
  long v = strtol(s, end, 10);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

int CompareInts(int32_t a, int32_t b) { return a < b ? -1 : (a > b ? 1 : 0); }

// Both null: equal; a present segment part sorts before an absent one.
int CompareMissing(const char* a, const char* b) {
  if (!a) return 1;
  if (!b) return -1;
  return 0;
}

int CompareSegments(const VersionSegment& a, const VersionSegment& b) {
  int r = CompareInts(a.number, b.number);
  if (r != 0) return r;
  if (a.text || b.text) {
    if (!a.text || !b.text) return CompareMissing(a.text, b.text);
    int32_t n = a.text_length < b.text_length ? a.text_length : b.text_length;
    for (int32_t i = 0; i < n; ++i) {
      r = CompareInts(static_cast<signed char>(a.text[i]), static_cast<signed char>(b.text[i]));
      if (r != 0) return r;
    }
    r = CompareInts(a.text_length, b.text_length);
    if (r != 0) return r;
  }
  r = CompareInts(a.subnumber, b.subnumber);
  if (r != 0) return r;
  if (!a.suffix && !b.suffix) return 0;
  if (!a.suffix || !b.suffix) return CompareMissing(a.suffix, b.suffix);
  return strcmp(a.suffix, b.suffix);
}

}  // namespace

char* parse_version_segment(char* segment, VersionSegment* result) {
  memset(result, 0, sizeof(*result));
  if (!segment) return nullptr;
  char* dot = strchr(segment, '.');
  if (dot) *dot = '\0';

  if (strcmp(segment, "*") == 0) {
    result->number = kStarNumber;
  } else {
    char* text;
    result->number = ParseNumber(segment, &text);
    if (*text == '+') {
      // "1.0+" is the "pre" of the next number: it equals "1.1pre".
      if (result->number < INT32_MAX) ++result->number;
      result->text = "pre";
      result->text_length = 3;
    } else if (*text) {
      result->text = text;
      size_t n = strcspn(text, "0123456789+-");
      result->text_length = static_cast<int32_t>(n);
      if (text[n]) {
        char* suffix;
        result->subnumber = ParseNumber(text + n, &suffix);
        if (*suffix) result->suffix = suffix;
      }
    }
  }
  return dot && dot[1] ? dot + 1 : nullptr;
}

int compare_versions(const char* a, const char* b) {
  char* a_copy = strdup(a);
  char* b_copy = strdup(b);
  int result = 1;
  if (a_copy && b_copy) {
    char* a_rest = a_copy;
    char* b_rest = b_copy;
    do {
      VersionSegment sa, sb;
      a_rest = parse_version_segment(a_rest, &sa);
      b_rest = parse_version_segment(b_rest, &sb);
      result = CompareSegments(sa, sb);
    } while (result == 0 && (a_rest || b_rest));
  }
  free(a_copy);
  free(b_copy);
  return result;
}
