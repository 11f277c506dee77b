#include "ui/progress_ui.h"

#include <X11/Xlib.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>

#include "ui/read_strings.h"

namespace {

constexpr size_t kUiPathSize = 4096;
constexpr useconds_t kShowDelayUs = 500000;
constexpr float kMaxPercentToShow = 70.0f;
constexpr guint kPollIntervalMs = 100;

gboolean OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer) { return TRUE; }

// What the X I/O error handlers reach. They are process-wide because Xlib
// hands a handler no data of the caller's, only the display.
//
// Where the main loop is left when the X server goes away. Xlib ends the
// process when the handler returns, so it never does: the window is gone
// with the display, and the update goes on without it.
jmp_buf display_lost;
// The status a late call into the dead display ends the process with.
volatile sig_atomic_t exit_status_after_display_lost = 1;

int OnDisplayLost(Display*) { longjmp(display_lost, 1); }
// Once the loop was left, a late call into the dead display ends the process
// with the run's own result.
int OnDisplayLostAgain(Display*) { _exit(exit_status_after_display_lost); }

}  // namespace

ProgressWindow::ProgressWindow(const Progress* progress, const ProgramPath* program)
    : progress_(progress), program_(program) {}

int ProgressWindow::OnTimer(void* self) {
  auto* w = static_cast<ProgressWindow*>(self);
  const bool quit = w->progress_->quit_requested();
  if (quit) {
    gtk_widget_hide(w->window_);
    gtk_main_quit();
  }
  // The bar refuses (with a warning) any fraction outside [0, 1]; rounding in
  // the worker's sums may overshoot 100 slightly.
  double fraction = w->progress_->percent() / 100.0;
  if (!(fraction >= 0.0)) fraction = 0.0;
  if (fraction > 1.0) fraction = 1.0;
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(w->progress_bar_), fraction);
  // The last poll removes the timer: it must not outlive the window.
  return quit ? FALSE : TRUE;
}

// Builds and shows the window, then runs the loop until the worker is done.
void ProgressWindow::Show(const char* title, const char* info) {
  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  if (!window_) return;

  char icon_path[kUiPathSize];
  bool have_icon_path = program_->FormFileName(".png", icon_path, sizeof(icon_path));

  g_signal_connect_data(window_, "delete_event", G_CALLBACK(OnDeleteEvent), nullptr, nullptr,
                        static_cast<GConnectFlags>(0));

  GtkWindow* win = GTK_WINDOW(window_);
  gtk_window_set_title(win, title);
  gtk_window_set_type_hint(win, GDK_WINDOW_TYPE_HINT_DIALOG);
  gtk_window_set_position(win, GTK_WIN_POS_CENTER_ALWAYS);
  gtk_window_set_resizable(win, FALSE);
  gtk_window_set_decorated(win, TRUE);
  gtk_window_set_deletable(win, FALSE);

  GdkPixbuf* icon = have_icon_path ? gdk_pixbuf_new_from_file(icon_path, nullptr) : nullptr;
  if (icon) {
    gtk_window_set_icon(win, icon);
    g_object_unref(icon);
  }

  GtkWidget* vbox = gtk_vbox_new(TRUE, 6);
  GtkWidget* label = gtk_label_new(info);
  gtk_misc_set_alignment(GTK_MISC(label), 0.0, 0.0);
  progress_bar_ = gtk_progress_bar_new();
  gtk_box_pack_start(GTK_BOX(vbox), label, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(vbox), progress_bar_, TRUE, TRUE, 0);

  g_timeout_add(kPollIntervalMs, OnTimer, this);

  gtk_container_set_border_width(GTK_CONTAINER(window_), 10);
  gtk_container_add(GTK_CONTAINER(window_), vbox);
  gtk_widget_show_all(window_);
  gtk_main();
}

void ProgressWindow::Prepare(const char* program_name) {
  // GTK takes the window class from the name; it changes the vector, never
  // the text.
  char* args[] = {const_cast<char*>(program_name ? program_name : ""), nullptr};
  int argc = 1;
  char** argv = args;
  gtk_available_ = gtk_init_check(&argc, &argv);
}

int ProgressWindow::Run() {
  if (!gtk_available_) return -1;

  usleep(kShowDelayUs);
  if (progress_->quit_requested() || progress_->percent() > kMaxPercentToShow) return 0;

  char ini_path[kUiPathSize];
  WindowStrings strings;
  if (strings_file_[0]) {
    snprintf(ini_path, sizeof(ini_path), "%s", strings_file_);
  } else if (!program_->FormFileName(".ini", ini_path, sizeof(ini_path))) {
    return -1;
  }
  if (ReadWindowStrings(ini_path, &strings) != 0) {
    return -1;
  }

  // Every call from here on may reach the X server, and the display may be
  // gone by now. Only C frames (Xlib, GDK, GLib) lie between the handler and
  // here.
  XSetIOErrorHandler(OnDisplayLost);
  if (setjmp(display_lost) == 0) Show(strings.title, strings.info);
  XSetIOErrorHandler(OnDisplayLostAgain);
  return 0;
}

void ProgressWindow::UseStringsFile(const char* path) {
  snprintf(strings_file_, sizeof(strings_file_), "%s", path);
}

void ProgressWindow::SetRunSucceeded(bool succeeded) {
  exit_status_after_display_lost = succeeded ? 0 : 1;
}
