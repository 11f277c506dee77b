// The one process-wide update log: plain lines, no time stamps, no levels.
#ifndef UPDATER_BASE_UPDATE_LOG_H_
#define UPDATER_BASE_UPDATE_LOG_H_

#include <cstdio>

class UpdateLog {
 public:
  // Created on first use; its destruction at process exit closes the file.
  static UpdateLog& Instance();

  // Opens "dir/name" ("a" when append, else "w"). When alt_name is given and
  // "dir/name" does not exist, "dir/alt_name" is used instead. Does nothing when
  // already open. A failed open is silent: later writes are dropped.
  void Open(const char* dir, const char* name, const char* alt_name, bool append);
  // One printf-formatted line followed by "\n"; a no-op while closed. Control
  // bytes of the message are written as "\xNN" and a backslash as two, so
  // that every line is one event whatever the names in it.
  void Log(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // "*** Warning: <message>***\n".
  void LogWarning(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void Flush();
  // Safe to call repeatedly.
  void Close();
  bool IsOpen() const { return file_ != nullptr; }
  // The file last opened; "" before any open succeeded.
  const char* Path() const { return path_; }

  ~UpdateLog();

 private:
  UpdateLog() = default;
  UpdateLog(const UpdateLog&) = delete;
  UpdateLog& operator=(const UpdateLog&) = delete;

  FILE* file_ = nullptr;
  char path_[1024] = "";
};

#define LOG(...) UpdateLog::Instance().Log(__VA_ARGS__)
#define LOG_WARN(...) UpdateLog::Instance().LogWarning(__VA_ARGS__)

#endif  // UPDATER_BASE_UPDATE_LOG_H_
