// What the progress and prompt tests share: a sample folder on drive Q:, the
// test host that runs the progress dialog on it, and readers of the result.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/gui/window_driver.h"

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

class ProgressTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { draw_frames_without_window_manager(); }
  // Starts the test host on `folder` and waits for its progress dialog.
  void start(const char* handling, const std::string& folder);
  // Waits until the scan is over (OK shown, the final status in the status
  // line) and returns the result list.
  std::vector<std::string> wait_finished(int timeout_ms = 60000);
  HWND list() const { return GetDlgItem(dialog, 1001); }

  std::unique_ptr<Program> host;
  HWND dialog = nullptr;
};

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
// A template of the test host: caption bar without a system menu, modal
// frame, "MS Sans Serif" 8 pt, the size and the controls in this order.
void expect_template(int id, int w, int h, const std::vector<WantItem>& items);

// Text of the message box's message (static 0xFFFF).
std::string box_text(HWND box);

}  // namespace krelvon::gui
