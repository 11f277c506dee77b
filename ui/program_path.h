// The path of the running executable, read once when the program starts: the
// program's own files (its strings and icon, its keys and settings) are those
// beside it, "<program><suffix>". The name the program was started by
// (argv[0]) plays no part: started through a link or from another directory,
// it still finds its own files, and a caller cannot point it at others.
#ifndef UPDATER_UI_PROGRAM_PATH_H_
#define UPDATER_UI_PROGRAM_PATH_H_

#include <cstddef>

class ProgramPath {
 public:
  // Reads /proc/self/exe. The path stays unknown when that cannot be read or
  // does not fit, and when it names an executable removed since it started,
  // which has no files beside it any more.
  ProgramPath();

  bool known() const { return path_[0] != '\0'; }
  // "<program><suffix>" into `buf` of `size` bytes. False when the path is
  // unknown or the name does not fit, so that no file under a cut name is
  // ever read.
  bool FormFileName(const char* suffix, char* buf, size_t size) const;

 private:
  char path_[4096] = "";
};

#endif  // UPDATER_UI_PROGRAM_PATH_H_
