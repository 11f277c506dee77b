// The run's work directory "updating" under the apply-to directory and the
// manifest extracted into it. The directory is used only through the
// descriptor opened right after it was made, and only when it is the run's
// own; nothing in it is ever reached by a path, so a name swapped or a link
// planted there leads nowhere else.
#ifndef UPDATER_DRIVER_WORK_DIR_H_
#define UPDATER_DRIVER_WORK_DIR_H_

#include <memory>

class ArchiveReader;

// Makes "updating" in the apply-to directory open on `apply_to` and opens it
// into `*work_dir` (close-on-exec; the caller closes it). A directory already
// there (left by an earlier run) is used when it is a directory that belongs
// to the effective user and that neither group nor others may write; whatever
// it holds is removed first (links themselves, never what they name).
// Returns 0; 42 when the name is taken by anything else (a file, a link, a
// directory of someone else's or writable by others), which is left alone;
// 7 when it cannot be created or opened. Logs its failures.
int MakeWorkDir(int apply_to, int* work_dir);
// What MakeWorkDir would answer, changing nothing: 0, 42 or 7.
int CheckWorkDir(int apply_to);

// Extracts "updatev3.manifest", or else "updatev2.manifest", into a new file
// "update.manifest" of the work directory open on `work_dir`, reads it into
// `*text` (NUL-terminated) and removes the file. Decoding stops once the
// manifest exceeds kMaxManifestSize (base/paths.h): 5 then, logged. Otherwise
// 0, 7 when the file cannot be made, or the failing extraction's or read's
// code (GetManifestContents in actions/manifest.h).
int ExtractManifest(ArchiveReader* archive, int work_dir, std::unique_ptr<char[]>* text);
// The same into the empty file open for reading and writing on `fd` (left
// open), which a check makes in memory.
int ExtractManifestTo(ArchiveReader* archive, int fd, std::unique_ptr<char[]>* text);

#endif  // UPDATER_DRIVER_WORK_DIR_H_
