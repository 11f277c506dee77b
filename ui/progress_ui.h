// The GTK 2 progress window, run on the main thread while the worker applies an
// ordinary update. The worker reaches it only through SetProgressUI and
// QuitProgressUI (ui/progress.h), which it may call at any time, before or
// during RunProgressUI; GTK is used on the calling (main) thread alone.
//
// The window is optional in every respect: without a display, without a
// complete strings file "<program>.ini", or when the run has ended or passed
// 70 % half a second after RunProgressUI starts, nothing is shown and the run
// is unaffected.
#ifndef UPDATER_UI_PROGRESS_UI_H_
#define UPDATER_UI_PROGRESS_UI_H_

#include <cstddef>

#include "base/progress.h"

// Records the program path (SetProgramPath) and initialises GTK with
// gtk_init_check on a command line of `program` (argv[0]) alone: no argument
// of the updater is ever taken for a GTK option. Call first thing, on the main
// thread, before any other thread starts. Always returns 0; a missing display
// only means no window later.
int PrepareProgressUI(const char* program);

// Only the first step of PrepareProgressUI, for a run that shows no window:
// records the path of the running executable, read once from /proc/self/exe.
// The name the program was started by (argv[0]) plays no part: started
// through a link or from another directory, it still finds its own keys and
// settings, and a caller cannot point it at others.
void SetProgramPath();

// "<program><suffix>" from the program path recorded into `buf` of `size`
// bytes: the files that sit beside the program. False when no program path is
// known (/proc/self/exe unreadable) or the name does not fit.
bool FormProgramFileName(const char* suffix, char* buf, size_t size);

// Waits half a second and then, unless QuitProgressUI was called or the
// progress is above 70 %, shows the window titled and labelled from the
// strings file "<program>.ini" (icon "<program>.png", optional), polls the
// progress every 100 ms, and hides the window and returns at the first poll
// after QuitProgressUI.
// Returns -1 at once without GTK; -1 after the wait when the strings file is
// missing or incomplete or the program path is unknown or too long; 0
// otherwise (also when the window was skipped or could not be made). When the
// X server goes away, before the window shows or while it does, the window is
// simply gone and 0 returned.
int RunProgressUI();

#endif  // UPDATER_UI_PROGRESS_UI_H_
