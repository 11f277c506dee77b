// The command-line tools' one way to report a failure.
#ifndef UPDATER_BASE_TOOL_FAIL_H_
#define UPDATER_BASE_TOOL_FAIL_H_

#include <cstdarg>
#include <cstdio>

// Prints "<program>: <message>\n" on standard error and returns 1, the
// failure exit status.
__attribute__((format(printf, 2, 3))) inline int ToolFail(const char* program, const char* fmt,
                                                          ...) {
  fprintf(stderr, "%s: ", program);
  va_list args;
  va_start(args, fmt);
  vfprintf(stderr, fmt, args);
  va_end(args);
  fputc('\n', stderr);
  return 1;
}

#endif  // UPDATER_BASE_TOOL_FAIL_H_
