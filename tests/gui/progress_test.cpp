// The progress dialog of the test host, driven through the window system:
// its template, the heading and status line, the finding lines and the
// statistics block of a scanned sample folder, Cancel, OK, and the limit of
// the result list.
#include <algorithm>
#include <filesystem>
#include <string>

#include "tests/gui/progress_fixture.h"
#include "tests/pending_operations.h"
#include "tools/pe_builder.h"
#include "tools/samples.h"

namespace fs = std::filesystem;

namespace krelvon::gui {
namespace {

constexpr char kTitle[] = "Krelvon Ver 1.6";
constexpr char kDetection[] = "W32/BugBear.B.Worm";

void expect_rect(HWND dialog, int id, int x, int y, int w, int h) {
  ASSERT_NE(GetDlgItem(dialog, id), nullptr) << "control " << id;
  const RECT want = dialog_units(x, y, w, h);
  const RECT got = control_rect(dialog, id);
  EXPECT_EQ(got.left, want.left) << "control " << id;
  EXPECT_EQ(got.top, want.top) << "control " << id;
  EXPECT_EQ(got.right, want.right) << "control " << id;
  EXPECT_EQ(got.bottom, want.bottom) << "control " << id;
}

// The controls without an identifier: found by class and text.
HWND child_with_text(HWND dialog, const char* wanted) {
  for (HWND c : children(dialog))
    if (text(c) == wanted) return c;
  return nullptr;
}

TEST(ProgressTemplate, Template131) {
  // BS_PUSHBUTTON is 0: "not a default button" is the type bits being clear.
  const DWORD kType = BS_TYPEMASK;
  expect_template(131, 330, 142,
                  {
                      {IDCANCEL, "Button", WS_TABSTOP, kType, 136, 121, 50, 14, "Cancel"},
                      {-1, "Button", BS_GROUPBOX, WS_TABSTOP, 17, 24, 298, 25, "Scanning"},
                      {1001, "ListBox", WS_BORDER | WS_VSCROLL | WS_HSCROLL | LBS_USETABSTOPS | LBS_NOINTEGRALHEIGHT,
                       LBS_SORT, 17, 58, 298, 57, "", WS_EX_STATICEDGE},
                      {1003, "Button", WS_TABSTOP, kType, 132, 121, 50, 14, "OK"},
                      // Paths may hold '&': no mnemonic prefix.
                      {1004, "Static", SS_LEFTNOWORDWRAP | SS_NOPREFIX, SS_TYPEMASK & ~SS_LEFTNOWORDWRAP, 23, 35, 289,
                       11, ""},
                      {1032, "Static", SS_LEFT, SS_TYPEMASK, 17, 11, 216, 11, ""},
                  });
}

TEST_F(ProgressTest, SampleFolderGivesFindingLinesStatisticsAndTheTemplateLayout) {
  SampleFolder folder("progress-demo");
  samples::write_demo(folder.path());
  ASSERT_NO_FATAL_FAILURE(start_host("disinfect", folder.path()));

  // Template 131: caption bar without a system-menu box, modal frame.
  EXPECT_EQ(text(dialog), kTitle);
  const LONG style = GetWindowLongA(dialog, GWL_STYLE);
  EXPECT_EQ(style & WS_SYSMENU, 0);
  EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
  EXPECT_NE(GetWindowLongA(dialog, GWL_EXSTYLE) & WS_EX_DLGMODALFRAME, 0);
  RECT client;
  GetClientRect(dialog, &client);
  const RECT size = dialog_units(0, 0, 330, 142);
  EXPECT_EQ(client.right, size.right);
  EXPECT_EQ(client.bottom, size.bottom);
  expect_rect(dialog, IDCANCEL, 136, 121, 50, 14);
  expect_rect(dialog, 1001, 17, 58, 298, 57);
  expect_rect(dialog, 1003, 132, 121, 50, 14);
  expect_rect(dialog, 1004, 23, 35, 289, 11);
  expect_rect(dialog, 1032, 17, 11, 216, 11);
  HWND group = child_with_text(dialog, "Scanning");
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(GetWindowLongA(group, GWL_STYLE) & BS_TYPEMASK, BS_GROUPBOX);
  // The scroll bars show in the style only while they are shown.
  // The dialog manager turns a border into a client edge.
  const LONG list_style = GetWindowLongA(list(), GWL_STYLE);
  for (LONG bit : {static_cast<LONG>(LBS_USETABSTOPS), static_cast<LONG>(LBS_NOINTEGRALHEIGHT)})
    EXPECT_EQ(list_style & bit, bit) << std::hex << bit;
  EXPECT_EQ(list_style & LBS_SORT, 0);
  EXPECT_NE(GetWindowLongA(list(), GWL_EXSTYLE) & WS_EX_STATICEDGE, 0);
  EXPECT_EQ(GetWindowLongA(GetDlgItem(dialog, 1004), GWL_STYLE) & SS_TYPEMASK, SS_LEFTNOWORDWRAP);
  EXPECT_EQ(item_text(dialog, IDCANCEL), "Cancel");
  EXPECT_EQ(item_text(dialog, 1003), "OK");
  EXPECT_EQ(item_text(dialog, 1032), "Searching for W32/BugBear.Worm and its variants files...");
  EXPECT_EQ(SendMessageA(list(), LB_GETHORIZONTALEXTENT, 0, 0), 650);

  const std::vector<std::string> lines = wait_finished();
  EXPECT_FALSE(item_visible(dialog, IDCANCEL));
  EXPECT_EQ(item_text(dialog, 1004), "Scanning completed");
  // The keyboard focus left the hidden Cancel for OK.
  GUITHREADINFO gui{};
  gui.cbSize = sizeof gui;
  ASSERT_TRUE(GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &gui));
  EXPECT_EQ(gui.hwndFocus, GetDlgItem(dialog, 1003))
      << class_name(gui.hwndFocus) << " " << GetDlgCtrlID(gui.hwndFocus) << " active " << gui.hwndActive;

  // Every finding once, in whatever order the folder lists them; then the
  // statistics block.
  std::vector<std::string> findings;
  for (const char* worm : {"worm.exe", "worm-helper.dll", "worm-helper-b.dll"})
    findings.push_back(folder / worm + "     " + kDetection + " deleted");
  for (const char* host_file : {"editor.exe", "games\\game.exe", "tools\\tool.exe"})
    findings.push_back(folder / host_file + "     " + kDetection + " Disinfected");
  const std::vector<std::string> stats = statistics_block(8, 6, 3, 0, 3);
  ASSERT_EQ(lines.size(), findings.size() + stats.size()) << ::testing::PrintToString(lines);
  std::vector<std::string> head(lines.begin(), lines.begin() + static_cast<long>(findings.size()));
  std::sort(head.begin(), head.end());
  std::sort(findings.begin(), findings.end());
  EXPECT_EQ(head, findings);
  EXPECT_EQ(std::vector<std::string>(lines.end() - static_cast<long>(stats.size()), lines.end()), stats);
  EXPECT_EQ(SendMessageA(list(), LB_GETCURSEL, 0, 0), static_cast<LRESULT>(lines.size()) - 1);
  // 13 lines and an extent of 650 pixels: both scroll bars.
  EXPECT_EQ(GetWindowLongA(list(), GWL_STYLE) & (WS_VSCROLL | WS_HSCROLL), WS_VSCROLL | WS_HSCROLL);
  EXPECT_FALSE(fs::exists(folder / "worm.exe"));
  EXPECT_TRUE(fs::exists(folder / "games\\game.exe"));
  screenshot(dialog, "finished");

  // OK: the progress dialog ends and the closing dialog follows.
  ASSERT_TRUE(item_visible(dialog, 1003));
  click(dialog, 1003);
  EXPECT_TRUE(wait_for([&] { return !IsWindowVisible(dialog); }));
  HWND closing = wait_for_new_window(host->pid(), kTitle, dialog);
  ASSERT_NE(closing, nullptr) << "no closing dialog";
  EXPECT_EQ(GetDlgItem(closing, 1001), nullptr);
  screenshot(closing, "closing");
}

// A worm file another program holds open sharing nothing: the scan cannot
// open it, and the statistics block ends with the count of what was not
// examined (a run with nothing skipped has no such line: the other tests'
// exact blocks).
TEST_F(ProgressTest, AFileThatCannotBeOpenedIsCountedAsNotExamined) {
  SampleFolder folder("not-examined");
  SampleFolder ready("not-examined-ready");
  folder.write("readable.txt", {'t', 'e', 'x', 't'});
  folder.write("held.exe", samples::make_worm_file(2, samples::worm_file_length(2)));
  folder.write("worm.exe", samples::make_worm_file(2, samples::worm_file_length(2)));
  const std::string holder = build_path("tests/hold_open.exe");
  Program& held = start("\"" + holder + "\" \"" + folder / "held.exe" + "\" \"" + ready / "holding" + "\" exclusive");
  ASSERT_TRUE(held.started()) << holder;
  ASSERT_TRUE(wait_for([&] { return fs::exists(ready / "holding"); })) << "the file is not held";
  ASSERT_NO_FATAL_FAILURE(start_host("disinfect", folder.path()));
  const std::vector<std::string> lines = wait_finished();
  std::vector<std::string> want = {folder / "worm.exe" + "     W32/BugBear.B.Worm deleted"};
  for (const std::string& line : statistics_block(3, 1, 0, 0, 1)) want.push_back(line);
  want.push_back("Total files not examined\t:  1");
  EXPECT_EQ(lines, want);
  EXPECT_EQ(item_text(dialog, 1004), "Scanning completed");
  EXPECT_TRUE(fs::exists(folder / "held.exe"));
  EXPECT_FALSE(fs::exists(folder / "worm.exe"));
  screenshot(dialog, "not-examined");
}

// A worm file another program holds open (sharing reading only, as a
// running program holds its file): Delete leaves it for the next start,
// its line says so, it counts as infected and not deleted, and after the
// statistics block one line asks for a restart.
TEST_F(ProgressTest, AFileInUseIsDeletedAtRestartAndTheListAsksForARestart) {
  test::PendingOperationsKept kept;
  SampleFolder folder("in-use");
  SampleFolder ready("in-use-ready");
  folder.write("readme.txt", {'t', 'e', 'x', 't'});
  folder.write("held.dll", samples::make_worm_file(2, samples::worm_file_length(2)));
  folder.write("worm.exe", samples::make_worm_file(2, samples::worm_file_length(2)));
  const std::string holder = build_path("tests/hold_open.exe");
  Program& held = start("\"" + holder + "\" \"" + folder / "held.dll" + "\" \"" + ready / "holding" + "\"");
  ASSERT_TRUE(held.started()) << holder;
  ASSERT_TRUE(wait_for([&] { return fs::exists(ready / "holding"); })) << "the file is not held";
  ASSERT_NO_FATAL_FAILURE(start_host("delete", folder.path()));
  const std::vector<std::string> lines = wait_finished();
  std::vector<std::string> want = {folder / "held.dll" + "     W32/BugBear.B.Worm will be deleted at restart",
                                   folder / "worm.exe" + "     W32/BugBear.B.Worm deleted"};
  // The listing's order is the file system's.
  if (!lines.empty() && lines[0].find("worm.exe") != std::string::npos) std::swap(want[0], want[1]);
  for (const std::string& line : statistics_block(3, 2, 0, 0, 1)) want.push_back(line);
  want.push_back("Restart the computer to finish the cleaning.");
  EXPECT_EQ(lines, want);
  EXPECT_EQ(item_text(dialog, 1004), "Scanning completed");
  EXPECT_TRUE(fs::exists(folder / "held.dll"));
  std::string pending;
  test::PendingOperationsKept::read(&pending);
  EXPECT_NE(pending.find("held.dll"), std::string::npos);
  screenshot(dialog, "restart");
}

TEST_F(ProgressTest, CancelAnsweredNoGoesOnAndYesTerminates) {
  SampleFolder folder("progress-cancel");
  const samples::Bytes clean = samples::build_pe(samples::typical_host(3));
  constexpr int kFiles = 2000;
  for (int i = 0; i < kFiles; ++i)
    folder.write("d" + std::to_string(i / 100) + "\\file" + std::to_string(i) + ".exe", clean);
  ASSERT_NO_FATAL_FAILURE(start_host("disinfect", folder.path()));
  // The status line shows folders too; a file shown means the counting has begun.
  auto at_file = [&] { return item_text(dialog, 1004).find("\\file") != std::string::npos; };
  ASSERT_TRUE(wait_for(at_file)) << "the scan did not start";

  click(dialog, IDCANCEL);
  HWND box = wait_for_dialog_with(host->pid(), 0xFFFF, "Warning");
  ASSERT_NE(box, nullptr) << "no question";
  EXPECT_EQ(item_text(box, 0xFFFF), "Terminate the Scan now?");
  EXPECT_EQ(GetWindow(box, GW_OWNER), dialog);
  EXPECT_NE(GetDlgItem(box, IDYES), nullptr);
  EXPECT_NE(GetDlgItem(box, IDNO), nullptr);
  EXPECT_EQ(GetDlgItem(box, IDOK), nullptr);
  screenshot(box, "question");
  const std::string at_question = item_text(dialog, 1004);
  PostMessageA(box, WM_COMMAND, IDNO, 0);

  // No: Cancel stays, OK stays hidden, the scan goes on.
  EXPECT_TRUE(wait_for([&] {
    return at_file() && item_text(dialog, 1004) != at_question;
  })) << "the scan did not go on";
  EXPECT_TRUE(item_visible(dialog, IDCANCEL));
  EXPECT_FALSE(item_visible(dialog, 1003));

  click(dialog, IDCANCEL);
  box = wait_for_dialog_with(host->pid(), 0xFFFF, "Warning");
  ASSERT_NE(box, nullptr);
  PostMessageA(box, WM_COMMAND, IDYES, 0);

  const std::vector<std::string> lines = wait_finished();
  EXPECT_FALSE(item_visible(dialog, IDCANCEL));
  EXPECT_EQ(item_text(dialog, 1004), "Scanning terminated");
  ASSERT_EQ(lines.size(), 6u) << ::testing::PrintToString(lines);
  EXPECT_EQ(lines[0], "Scanning statistics\t\t:");
  const int scanned = std::stoi(lines[1].substr(lines[1].rfind(' ') + 1));
  EXPECT_GT(scanned, 0);
  EXPECT_LT(scanned, kFiles);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.end()), statistics_block(scanned, 0, 0, 0, 0));
  screenshot(dialog, "terminated");

  // Enter reaches the dialog as its own OK command: the dialog ends without
  // the closing dialog.
  PostMessageA(dialog, WM_COMMAND, IDOK, 0);
  EXPECT_TRUE(host->wait_exit(10000)) << "the program did not end";
  EXPECT_TRUE(top_level_windows(host->pid()).empty());
}

TEST_F(ProgressTest, CancelConfirmedBeforeTheFirstTickTerminatesTheScan) {
  SampleFolder folder("progress-early");
  folder.write_worms(3);
  host = &start("\"" + progress_host() + "\" delete \"" + folder.path() + "\"");
  ASSERT_TRUE(host->started());
  // Posted as soon as the dialog is there, well before its 100 ms timer.
  HWND found = nullptr;
  ASSERT_TRUE(wait_for([&] { return (found = find_dialog_with(host->pid(), 1001)) != nullptr; }, 10000));
  dialog = found;
  click(dialog, IDCANCEL);
  HWND box = wait_for_dialog_with(host->pid(), 0xFFFF, "Warning");
  ASSERT_NE(box, nullptr);
  if (!item_text(dialog, 1004).empty()) GTEST_SKIP() << "the click arrived after the scan had started";
  // While the question is open the scan does not start behind it.
  Sleep(500);
  EXPECT_EQ(item_text(dialog, 1004), "");
  EXPECT_EQ(SendMessageA(list(), LB_GETCOUNT, 0, 0), 0);
  PostMessageA(box, WM_COMMAND, IDYES, 0);
  const std::vector<std::string> lines = wait_finished();
  EXPECT_EQ(item_text(dialog, 1004), "Scanning terminated");
  EXPECT_EQ(lines, statistics_block(0, 0, 0, 0, 0));
  EXPECT_TRUE(fs::exists(folder / "worm-0001.exe"));
}

// 300 findings: the 151st line emptied the list, so it holds the findings
// 151 to 300; the statistics block that follows takes it past 150 lines
// without emptying it again.
TEST_F(ProgressTest, ResultListHoldsAtMost150FindingLinesButTheWholeStatistics) {
  SampleFolder folder("progress-many");
  folder.write_worms(300);
  ASSERT_NO_FATAL_FAILURE(start_host("ignore", folder.path()));
  const std::vector<std::string> lines = wait_finished(170000);
  const std::vector<std::string> stats = statistics_block(300, 300, 0, 0, 0);
  ASSERT_EQ(lines.size(), 150u + stats.size());
  const std::string ignored = std::string("     ") + SampleFolder::worm_name() + " not disinfected as per user's selection";
  for (std::size_t i = 0; i < 150; ++i)
    EXPECT_NE(lines[i].find(ignored), std::string::npos) << lines[i];
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 150, lines.end()), stats);
  EXPECT_EQ(SendMessageA(list(), LB_GETCURSEL, 0, 0), static_cast<LRESULT>(lines.size()) - 1);
  screenshot(dialog, "finished");
}

}  // namespace
}  // namespace krelvon::gui
