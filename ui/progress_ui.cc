#include "ui/progress_ui.h"

#include <X11/Xlib.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>

#include "base/run_settings.h"
#include "ui/read_strings.h"

namespace {

constexpr size_t kUiPathSize = 4096;
constexpr useconds_t kShowDelayUs = 500000;
constexpr float kMaxPercentToShow = 70.0f;
constexpr guint kPollIntervalMs = 100;

// Main-thread state; the widgets live until the process ends (the window is
// hidden, never destroyed).
const char* program_path = nullptr;  // null until resolved
char resolved_program_path[kUiPathSize];
bool gtk_available = false;
GtkWidget* window = nullptr;
GtkWidget* progress_bar = nullptr;

gboolean OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer) { return TRUE; }

// Where the main loop is left when the X server goes away. Xlib ends the
// process when this handler returns, so it never does: the window is gone
// with the display, and the update goes on without it.
jmp_buf display_lost;
int OnDisplayLost(Display*) { longjmp(display_lost, 1); }
// Once the loop was left, a late call into the dead display ends the process
// with the run's own result.
int OnDisplayLostAgain(Display*) { _exit(runSucceeded ? 0 : 1); }

gboolean OnTimer(gpointer) {
  if (quitRequested.load(std::memory_order_relaxed)) {
    gtk_widget_hide(window);
    gtk_main_quit();
  }
  // The bar refuses (with a warning) any fraction outside [0, 1]; rounding in
  // the worker's sums may overshoot 100 slightly.
  double fraction = progressPercent.load(std::memory_order_relaxed) / 100.0;
  if (!(fraction >= 0.0)) fraction = 0.0;
  if (fraction > 1.0) fraction = 1.0;
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(progress_bar), fraction);
  return TRUE;
}

// "<program><suffix>" into `buf`; false when there is no program path or the
// name does not fit, so that no file under a cut name is ever read.
bool FormProgramFilePath(char (&buf)[kUiPathSize], const char* suffix) {
  return FormProgramFileName(suffix, buf, sizeof(buf));
}

// Builds and shows the window, then runs the loop until the worker is done.
void ShowWindow(const WindowStrings& strings) {
  window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  if (!window) return;

  char icon_path[kUiPathSize];
  bool have_icon_path = FormProgramFilePath(icon_path, ".png");

  g_signal_connect_data(window, "delete_event", G_CALLBACK(OnDeleteEvent), nullptr, nullptr,
                        static_cast<GConnectFlags>(0));

  GtkWindow* win = GTK_WINDOW(window);
  gtk_window_set_title(win, strings.title);
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
  GtkWidget* label = gtk_label_new(strings.info);
  gtk_misc_set_alignment(GTK_MISC(label), 0.0, 0.0);
  progress_bar = gtk_progress_bar_new();
  gtk_box_pack_start(GTK_BOX(vbox), label, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(vbox), progress_bar, TRUE, TRUE, 0);

  g_timeout_add(kPollIntervalMs, OnTimer, nullptr);

  gtk_container_set_border_width(GTK_CONTAINER(window), 10);
  gtk_container_add(GTK_CONTAINER(window), vbox);
  gtk_widget_show_all(window);
  gtk_main();
}

}  // namespace

bool FormProgramFileName(const char* suffix, char* buf, size_t size) {
  if (!program_path) return false;
  int n = snprintf(buf, size, "%s%s", program_path, suffix);
  return n >= 0 && static_cast<size_t>(n) < size;
}

void SetProgramPath() {
  if (program_path) return;
  ssize_t n = readlink("/proc/self/exe", resolved_program_path, sizeof(resolved_program_path));
  // A cut path is no program path at all.
  if (n <= 0 || static_cast<size_t>(n) >= sizeof(resolved_program_path)) return;
  resolved_program_path[n] = '\0';
  // An executable removed since it started has no files beside it any more;
  // none are looked up under the name the kernel shows for it.
  static const char kDeleted[] = " (deleted)";
  if (n >= static_cast<ssize_t>(sizeof(kDeleted) - 1) &&
      strcmp(resolved_program_path + n - (sizeof(kDeleted) - 1), kDeleted) == 0) {
    return;
  }
  program_path = resolved_program_path;
}

int PrepareProgressUI(const char* program) {
  SetProgramPath();
  // GTK takes the window class from the name; it changes the vector, never
  // the text.
  char* args[] = {const_cast<char*>(program ? program : ""), nullptr};
  int argc = 1;
  char** argv = args;
  gtk_available = gtk_init_check(&argc, &argv);
  return 0;
}

int RunProgressUI() {
  if (!gtk_available) return -1;

  usleep(kShowDelayUs);
  if (quitRequested.load(std::memory_order_relaxed) ||
      progressPercent.load(std::memory_order_relaxed) > kMaxPercentToShow) {
    return 0;
  }

  char ini_path[kUiPathSize];
  WindowStrings strings;
  if (!FormProgramFilePath(ini_path, ".ini") || ReadWindowStrings(ini_path, &strings) != 0) {
    return -1;
  }

  // Every call from here on may reach the X server, and the display may be
  // gone by now. Only C frames (Xlib, GDK, GLib) lie between the handler and
  // here.
  XSetIOErrorHandler(OnDisplayLost);
  if (setjmp(display_lost) == 0) ShowWindow(strings);
  XSetIOErrorHandler(OnDisplayLostAgain);
  return 0;
}