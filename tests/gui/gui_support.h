// The GUI test harness: a Windows program of ours that drives krelvon.exe
// through the real window system under Wine. It starts programs, waits for
// their windows, reads texts and rectangles, presses buttons, moves and
// clicks the pointer, and keeps screenshots of what it saw.
//
// Every wait has a time limit; programs started through Program end at the
// latest when the Program object goes (TerminateProcess), so a test never
// hangs on a dialog left open.
#pragma once

#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace krelvon::gui {

// --- Paths ----------------------------------------------------------------
// The build folder as a Windows path (the drive tests/gui/run-gui-test.sh
// maps onto it), with a trailing backslash.
std::string build_root();
// build_root() + relative ('/' in relative becomes '\').
std::string build_path(const std::string& relative);
// ui\krelvon.exe of this build, and whether it was built.
std::string krelvon_exe();
bool krelvon_built();
// Skips the test when krelvon.exe has not been built.
#define KRELVON_REQUIRE_PROGRAM()                                               \
  do {                                                                          \
    if (!::krelvon::gui::krelvon_built())                                       \
      GTEST_SKIP() << "krelvon.exe is not built: " << ::krelvon::gui::krelvon_exe(); \
  } while (0)

// --- Programs -------------------------------------------------------------
// A started Windows program. The destructor ends it if it still runs.
class Program {
 public:
  // command_line: the program's path (quoted if needed) and arguments.
  explicit Program(const std::string& command_line);
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  bool started() const { return process_ != nullptr; }
  DWORD pid() const { return pid_; }
  // True when the program has ended within timeout_ms.
  bool wait_exit(int timeout_ms);
  bool running() const;
  DWORD exit_code() const;
  void kill();

 private:
  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
};

// Starts krelvon.exe.
inline std::string krelvon_command() { return "\"" + krelvon_exe() + "\""; }

// --- Windows --------------------------------------------------------------
// The visible top-level windows of process pid (every process when pid is 0).
std::vector<HWND> top_level_windows(DWORD pid);
// The first visible top-level window of pid with exactly this title (any
// title when title is nullptr) and class (any class when cls is nullptr);
// dialogs have the class "#32770".
HWND find_window(DWORD pid, const char* title, const char* cls = "#32770");
// The same, waiting up to timeout_ms; nullptr when none came.
HWND wait_for_window(DWORD pid, const char* title, const char* cls = "#32770",
                     int timeout_ms = 15000);
// A window whose text is exactly `text` among the visible top-level windows
// of pid other than `except` (e.g. the dialog that a button opened in place
// of the one that is already known).
HWND wait_for_new_window(DWORD pid, const char* title, HWND except, const char* cls = "#32770",
                         int timeout_ms = 15000);
// Waits until the window is gone or hidden; true when it is.
bool wait_until_gone(HWND window, int timeout_ms = 15000);
// Polls condition every 50 ms up to timeout_ms; true when it held.
template <typename Condition>
bool wait_for(Condition condition, int timeout_ms = 15000) {
  for (int waited = 0;; waited += 50) {
    if (condition()) return true;
    if (waited >= timeout_ms) return false;
    Sleep(50);
  }
}

std::string text(HWND window);                      // WM_GETTEXT
std::string item_text(HWND dialog, int id);         // GetDlgItemTextA
std::string class_name(HWND window);
// The lines of a list box of another process, as the window system carries
// them across (wide text, given back here in the ANSI code page).
std::vector<std::string> list_lines(HWND list);
LONG style(HWND window);
LONG ex_style(HWND window);
// The children of a window, in z order (the template's order for dialogs).
std::vector<HWND> children(HWND window);
// Lets the window's process handle everything queued and paint (a sent
// message round trip, then a short pause for Wine to show the pixels).
void settle(HWND window);

// Presses a button the way the dialog manager does (BM_CLICK, posted so
// that a dialog the button opens does not block the test).
void click(HWND dialog, int id);

// --- Geometry -------------------------------------------------------------
// A control's rectangle in the client coordinates of its dialog.
RECT control_rect(HWND dialog, int id);
// A rectangle in dialog units turned into pixels the way the dialog manager
// does it for a dialog with the font "MS Sans Serif" 8 pt (MapDialogRect on
// a dialog of this program's own).
RECT dialog_units(int x, int y, int w, int h);
// The size of the client area.
SIZE client_size(HWND window);
// The centre of a window in screen coordinates.
POINT centre(HWND window);

// --- Pointer --------------------------------------------------------------
void move_pointer(POINT screen);
// Moves the pointer to the point, then presses and releases the left button.
void click_pointer(POINT screen);
// Moves the pointer to a corner of the screen far from every dialog.
void park_pointer();

// --- Pixels and screenshots -----------------------------------------------
struct Image {
  int width = 0;
  int height = 0;
  std::vector<COLORREF> pixels;  // row by row from the top
  COLORREF at(int x, int y) const { return pixels[static_cast<size_t>(y * width + x)]; }
  // How many pixels have exactly this colour.
  int count(COLORREF colour) const;
  // The longest horizontal run of this colour in any row.
  int longest_run(COLORREF colour) const;
};
// What the screen shows now inside the rectangle (screen coordinates).
Image capture(const RECT& screen);
// The window with its frame, as the screen shows it.
Image capture(HWND window);
bool save_png(const Image& image, const std::string& path);
// Captures the window and saves it as <test suite>.<test name>-<label>.png
// in the screenshot folder; returns the file's path.
std::string screenshot(HWND window, const std::string& label);

// --- Web address association ----------------------------------------------
// Points the prefix's "open" command for http addresses at a command of the
// test's choice; the old command comes back when the object goes.
class HttpOpenCommand {
 public:
  explicit HttpOpenCommand(const std::string& command);
  ~HttpOpenCommand();
  HttpOpenCommand(const HttpOpenCommand&) = delete;
  HttpOpenCommand& operator=(const HttpOpenCommand&) = delete;

 private:
  std::string old_;
  bool had_old_ = false;
};

// The recorder program (tests/gui/url_recorder.cpp) stands for the browser:
// it writes the address it was asked to open into a record file. This
// makes a fresh record file and the open command that writes into it.
class UrlRecorder {
 public:
  UrlRecorder();
  ~UrlRecorder();
  // The open command that runs the recorder.
  std::string command() const;
  // The addresses recorded so far, one per line; waits up to timeout_ms for
  // the first.
  std::vector<std::string> addresses(int timeout_ms = 10000) const;

 private:
  std::string file_;
};

// --- Tree views of another process -----------------------------------------
// A tree view control of another process, read and driven through its own
// messages; item texts travel through a buffer in that process.
class RemoteTree {
 public:
  explicit RemoteTree(HWND tree);
  ~RemoteTree();
  RemoteTree(const RemoteTree&) = delete;
  RemoteTree& operator=(const RemoteTree&) = delete;

  bool ok() const { return remote_ != nullptr; }
  LRESULT send(UINT message, WPARAM wparam, LPARAM lparam) const;
  // The items below parent (the top level for nullptr), in order.
  std::vector<HTREEITEM> children(HTREEITEM parent) const;

  struct Item {
    std::string label;
    int children = 0;
    int image = 0;
  };
  Item get(HTREEITEM handle) const;

  // Expands as a click on the button would; the first expansion lists the
  // folder inside the program.
  void expand(HTREEITEM item) const;
  void collapse(HTREEITEM item) const;
  bool select(HTREEITEM item) const;
  int count() const;
  HTREEITEM child_labelled(HTREEITEM parent, const std::string& label) const;
  // Drive Q: under the top-level item that lists the drives, expanding the
  // top-level items on the way.
  HTREEITEM q_drive() const;

 private:
  static constexpr SIZE_T kBuffer = 4096;
  static constexpr SIZE_T kTextOffset = 1024;
  HWND tree_;
  template <typename Layout>
  Item get_as(HTREEITEM handle) const;
  HANDLE process_ = nullptr;
  void* remote_ = nullptr;
  bool narrow_ = false;  // the tree's program is a 32-bit one
};

// Selects the folder of drive Q: reached through `labels` (drive Q: itself
// for none) in a folder tree of another process, expanding the way to it;
// a failed assertion when an item is missing.
void select_q_folder(HWND tree, const std::vector<std::string>& labels);

// --- Fixture --------------------------------------------------------------
// A GUI test: the pointer parked away from the dialogs at the start, every
// program it started ended at the end.
class GuiTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  Program& start(const std::string& command_line);
  // Starts krelvon.exe and waits for its main dialog; nullptr (and a failed
  // test) when it did not come.
  HWND start_krelvon(Program** program = nullptr);

 private:
  std::vector<std::unique_ptr<Program>> programs_;
};

}  // namespace krelvon::gui
