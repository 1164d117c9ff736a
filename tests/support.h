// Shared pieces of the test suite: temporary folders, a progress window that
// records the engine's notifications, and scripted message-box answers.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "engine/scan_context.h"
#include "platform/platform.h"

namespace krelvon::test {

// A fresh folder under the system's temporary folder, removed with
// everything in it at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + separator + relative (relative uses '/', turned into kSep).
  std::string operator/(const std::string& relative) const;
  // Creates the folders of relative and writes bytes to it.
  std::string write(const std::string& relative, const std::string& bytes);
  std::string write(const std::string& relative, const std::vector<unsigned char>& bytes);
  std::string mkdir(const std::string& relative);

 private:
  std::string path_;
};

// Turns '/' into the platform separator.
std::string native(const std::string& path);

// A window that stands for the progress dialog: it records every line
// notification (the line buffer) and object notification (the object
// buffer), and installs itself as the scan context's progress window.
class RecordingWindow {
 public:
  RecordingWindow();
  ~RecordingWindow();
  HWND hwnd() const { return hwnd_; }
  std::vector<std::string> lines;
  // The finding record at each line notification (kind kNone for a line
  // that is no finding).
  std::vector<FindingRecord> findings;
  std::vector<std::string> objects;
  // Messages dispatched to it by the message pump other than the two
  // notifications.
  std::vector<UINT> dispatched;

 private:
  static LRESULT CALLBACK proc(HWND, UINT, WPARAM, LPARAM);
  HWND hwnd_ = nullptr;
};

// An entry reported as not examined (report_skipped).
struct SkippedEntry {
  std::string path;
  std::string reason;
  bool operator==(const SkippedEntry& o) const { return path == o.path && reason == o.reason; }
};
inline void PrintTo(const SkippedEntry& e, std::ostream* os) { *os << e.path << ": " << e.reason; }
// Every entry reported as skipped since the test began, in order.
std::vector<SkippedEntry>& skipped_entries();

// A test with a fresh scan context (as after the memory phase: its flag
// clear), a recording progress window and a recording skip listener.
class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  RecordingWindow* window = nullptr;
};

// Message boxes are answered by the script below instead of a person: the
// next answers are taken in order (IDYES, IDNO, ...); when the script is
// empty the answer is IDNO. Every question asked is recorded.
void install_message_box_answerer();
void script_message_box_answers(std::vector<int> answers);
struct AskedBox {
  std::string text;
  std::string caption;
  UINT type;
  bool owner_is_progress_window;
};
std::vector<AskedBox>& asked_message_boxes();

}  // namespace krelvon::test
