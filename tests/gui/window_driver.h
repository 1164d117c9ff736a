// Driving a program of ours from another process through the window system:
// start it, find its dialogs and message boxes, read their controls, click
// buttons, measure layouts in dialog units, and keep screenshots.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace krelvon::gui {

// A program started from the test's own folder; ended (if still running)
// when the object goes.
class Program {
 public:
  Program(const std::string& exe_name, const std::string& arguments);
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  bool started() const { return info_.hProcess != nullptr; }
  DWORD pid() const { return info_.dwProcessId; }
  // True when the program ended within timeout_ms.
  bool wait_exit(int timeout_ms);

 private:
  PROCESS_INFORMATION info_{};
};

// The virtual display has no window manager: Wine is told to draw the
// windows' frames and caption bars itself, so that programs started from now
// on look on the screen (and in screenshots) as they would on Windows.
void draw_frames_without_window_manager();

// Polls until done() holds or timeout_ms passes; returns the last answer.
bool wait_until(const std::function<bool()>& done, int timeout_ms = 10000);

// A visible top-level window of process pid with class "#32770" that holds a
// control `control_id` (0: any), optionally with caption `caption`.
HWND find_dialog(DWORD pid, int control_id, const char* caption = nullptr);
HWND wait_dialog(DWORD pid, int control_id, const char* caption = nullptr, int timeout_ms = 10000);

std::string text_of(HWND window);
std::string item_text(HWND dialog, int id);
std::vector<std::string> list_lines(HWND list);
bool item_visible(HWND dialog, int id);

// The rectangle of a control in its parent's client area, in pixels.
RECT child_rect(HWND control);
// A rectangle in dialog units turned into pixels the way the dialog manager
// turns them for a dialog with font "MS Sans Serif" 8 pt.
RECT dialog_units(int x, int y, int w, int h);

// A click posted to a button, so a modal loop it opens does not hold us.
void click(HWND button);

// Writes a PNG of the window as it is on the screen into the test's
// screenshots folder; returns its path.
std::string screenshot(HWND window, const std::string& name);

}  // namespace krelvon::gui

namespace krelvon::gui {

// A dialog template as it is stored in a program's resources.
struct TemplateItem {
  DWORD style = 0, ex_style = 0;
  int x = 0, y = 0, w = 0, h = 0;
  int id = 0;
  std::string window_class;  // "Button", "Static", "ListBox", ... for the predefined atoms too
  std::string text;
};
struct DialogTemplate {
  DWORD style = 0, ex_style = 0;
  int w = 0, h = 0;
  int point_size = 0;
  std::string font;
  std::string caption;
  std::vector<TemplateItem> items;
};

// Reads template `id` from the resources of a program in the test's folder;
// false when the program or the template is missing or malformed.
bool load_dialog_template(const std::string& exe_name, int id, DialogTemplate& out);

}  // namespace krelvon::gui
