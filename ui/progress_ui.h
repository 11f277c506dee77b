// The GTK 2 progress window, run on the main thread while the worker applies an
// ordinary update. The worker reaches it only through the run's Progress
// (base/progress.h), which it may set at any time, before or during Run; GTK
// is used on the calling (main) thread alone.
//
// The window is optional in every respect: without a display, without a
// complete strings file "<program>.ini", or when the run has ended or passed
// 70 % half a second after Run starts, nothing is shown and the run is
// unaffected.
#ifndef UPDATER_UI_PROGRESS_UI_H_
#define UPDATER_UI_PROGRESS_UI_H_

#include "base/progress.h"
#include "ui/program_path.h"

// One per process: GTK and the X connection are.
class ProgressWindow {
 public:
  // Shows `progress` and takes its strings and icon from the files beside
  // `program`; both must outlive the window.
  ProgressWindow(const Progress* progress, const ProgramPath* program);
  ProgressWindow(const ProgressWindow&) = delete;
  ProgressWindow& operator=(const ProgressWindow&) = delete;

  // Initialises GTK with gtk_init_check on a command line of `program_name`
  // (argv[0]) alone: no argument of the updater is ever taken for a GTK
  // option. Call first thing, on the main thread, before any other thread
  // starts. A missing display only means no window later.
  void Prepare(const char* program_name);

  // Waits half a second and then, unless the progress asks to quit or is
  // above 70 %, shows the window titled and labelled from the strings file
  // "<program>.ini" (icon "<program>.png", optional), polls the progress
  // every 100 ms, and hides the window and returns at the first poll after
  // the quit request.
  // Returns -1 at once without GTK; -1 after the wait when the strings file
  // is missing or incomplete or the program path is unknown or too long; 0
  // otherwise (also when the window was skipped or could not be made). When
  // the X server goes away, before the window shows or while it does, the
  // window is simply gone and 0 returned.
  int Run();

  // Takes the window's strings from the settings file at `path` instead of
  // "<program>.ini" (a packaged updater's per-application settings). Call
  // before Run.
  void UseStringsFile(const char* path);

  // The run's outcome, once known: should a later call into a display that
  // was lost end the process, it ends with 0 when the run succeeded and 1
  // otherwise (also before this is called).
  void SetRunSucceeded(bool succeeded);

 private:
  // GTK's timer callback (a gboolean from a gpointer): polls the progress.
  static int OnTimer(void* self);
  void Show(const char* title, const char* info);

  const Progress* progress_;
  const ProgramPath* program_;
  char strings_file_[4096] = "";  // empty: "<program>.ini"
  bool gtk_available_ = false;
  // Hidden, never destroyed: they live until the process ends.
  struct _GtkWidget* window_ = nullptr;
  struct _GtkWidget* progress_bar_ = nullptr;
};

#endif  // UPDATER_UI_PROGRESS_UI_H_
