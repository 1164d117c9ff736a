// What the progress and prompt tests share: a sample folder on drive Q:, the
// test host that runs the progress dialog on it, and readers of the result
// list and of the host's dialog templates.
#pragma once

#include <string>
#include <vector>

#include "tests/gui/gui_support.h"

namespace krelvon::gui {

// A fresh folder on Q: (a fixed drive of the test prefix), removed with
// everything in it at the end.
class SampleFolder {
 public:
  explicit SampleFolder(const std::string& name);
  ~SampleFolder();
  SampleFolder(const SampleFolder&) = delete;
  SampleFolder& operator=(const SampleFolder&) = delete;
  const std::string& path() const { return path_; }
  // path() + '\' + relative.
  std::string operator/(const std::string& relative) const { return path_ + "\\" + relative; }
  void write(const std::string& relative, const std::vector<unsigned char>& bytes) const;
  // n worm files of the factory's smallest record: worm-0001.exe ...
  std::vector<std::string> write_worms(int n) const;
  // That record's detection name: the prompt and the Ignore line show it.
  static const char* worm_name();

 private:
  std::string path_;
};

// The statistics block as the scan driver writes it.
std::vector<std::string> statistics_block(int scanned, int infected, int disinfected, int renamed, int deleted);

bool item_visible(HWND dialog, int id);
// A visible dialog of pid titled `title` that holds control `id`; waits up
// to timeout_ms. nullptr when none came.
HWND wait_for_dialog_with(DWORD pid, int id, const char* title = "Krelvon Ver 1.6", int timeout_ms = 30000);
HWND find_dialog_with(DWORD pid, int id, const char* title = "Krelvon Ver 1.6");

// What a template control must be: identifier, class, the style bits it
// must have and must not have, rectangle in dialog units and text.
struct WantItem {
  int id;
  const char* window_class;
  DWORD style;
  DWORD not_style;
  int x, y, w, h;
  const char* text;
  DWORD ex_style = 0;
};
// A template of the test host, read from its resources: caption bar
// without a system menu, modal frame, "MS Sans Serif" 8 pt, the size and
// the controls in this order.
void expect_template(int id, int w, int h, const std::vector<WantItem>& items);

class ProgressTest : public GuiTest {
 protected:
  // Starts the test host on `folder` and waits for its progress dialog.
  void start_host(const char* handling, const std::string& folder);
  // Waits until the scan is over (OK shown, the final status in the status
  // line) and returns the result list.
  std::vector<std::string> wait_finished(int timeout_ms = 100000);
  HWND list() const { return GetDlgItem(dialog, 1001); }

  Program* host = nullptr;
  HWND dialog = nullptr;
};

// The host's path.
std::string progress_host();

}  // namespace krelvon::gui
