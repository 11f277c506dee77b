// The one process-wide update log: plain lines, no time stamps, no levels.
#ifndef UPDATER_BASE_UPDATE_LOG_H_
#define UPDATER_BASE_UPDATE_LOG_H_

#include <cstdio>

class UpdateLog {
 public:
  // Created on first use; its destruction at process exit closes the file.
  static UpdateLog& Instance();

  // Opens the log `name` in the directory `dir` (a descriptor of any kind,
  // used only during the call; -1 with errno set for one that could not be
  // opened), named "<dir_path>/<name>" in messages: "a"
  // when append, else "w". When alt_name is given and `name` does not exist,
  // alt_name is used instead. An existing file is opened never through a
  // link, never blocking on a FIFO, and must be a regular file of one name
  // (not hard-linked to some other file); a missing one is
  // made with the owner and group of `dir` (base/owned_file.h). Does nothing
  // when already open. A log that cannot be opened is reported on standard
  // error, and later lines are dropped.
  void Open(int dir, const char* dir_path, const char* name, const char* alt_name, bool append);
  // The same in the directory `dir_path`, opened by its name; one that cannot
  // be opened is reported likewise.
  void Open(const char* dir_path, const char* name, const char* alt_name, bool append);
  // Logs to standard error, for a run whose only reader is its caller.
  void OpenStandardError();
  // One printf-formatted line followed by "\n"; a no-op while closed. Control
  // bytes of the message are written as "\xNN" and a backslash as two, so
  // that every line is one event whatever the names in it.
  void Log(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // "*** Warning: <message>***\n".
  void LogWarning(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void Flush();
  // Safe to call repeatedly. Lines that could not be written are reported on
  // standard error.
  void Close();
  bool IsOpen() const { return file_ != nullptr; }
  // The file last opened; "" before any open succeeded.
  const char* Path() const { return path_; }

  ~UpdateLog();

 private:
  UpdateLog() = default;
  UpdateLog(const UpdateLog&) = delete;
  UpdateLog& operator=(const UpdateLog&) = delete;
  // Takes `fd`, an open log; false (closed, nothing kept) when stdio cannot.
  bool Adopt(int fd, bool append, const char* path);

  // Notes the first failed write of the open log, for Close to report.
  void NoteError();

  FILE* file_ = nullptr;
  int error_ = 0;  // errno of the first failed write, else 0
  char path_[1024] = "";
};

#define LOG(...) UpdateLog::Instance().Log(__VA_ARGS__)
#define LOG_WARN(...) UpdateLog::Instance().LogWarning(__VA_ARGS__)

#endif  // UPDATER_BASE_UPDATE_LOG_H_
