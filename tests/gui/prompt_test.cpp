// The virus-found prompt in Prompt mode, driven through the window system:
// its template, the object and name fields, the action button row laid out
// at run time, the answers and apply-to-all; in the test host, and in
// krelvon.exe from the main dialog on.
#include <filesystem>

#include "resources/resource.h"
#include "tests/gui/progress_fixture.h"
#include "tools/samples.h"
#include "ui/shell/prompt_dialog.h"

namespace fs = std::filesystem;

namespace krelvon::gui {
namespace {

constexpr int kBox = 1028;

class PromptTest : public ProgressTest {
 protected:
  // The next prompt of the host; null when none comes before the scan ends.
  HWND next_prompt(int timeout_ms = 30000) {
    HWND prompt = nullptr;
    wait_for([&] {
      prompt = find_dialog_with(host->pid(), kBox);
      return prompt != nullptr || item_visible(dialog, 1003);
    }, timeout_ms);
    return prompt;
  }
  bool box_ticked(HWND prompt) { return SendDlgItemMessageA(prompt, kBox, BM_GETCHECK, 0, 0) == BST_CHECKED; }
  void answer(HWND prompt, int id) {
    click(prompt, id);
    ASSERT_TRUE(wait_for([&] { return !IsWindow(prompt); })) << "the prompt stayed after " << id;
  }
};

// The expected object field: the display shortening to 60 characters.
std::string shortened(const std::string& text) {
  if (text.size() <= 60) return text;
  return text.substr(0, 29) + ".." + text.substr(text.size() - 29);
}

int count_with(const std::vector<std::string>& lines, const std::string& tail) {
  int n = 0;
  for (const std::string& l : lines)
    if (l.size() >= tail.size() && l.compare(l.size() - tail.size(), tail.size(), tail) == 0) ++n;
  return n;
}

// The four action buttons in a row laid out at run time, left to right, at
// the prompt's real outer size: Disinfect, Delete, Rename, Ignore.
void expect_button_row(HWND prompt) {
  RECT outer;
  GetWindowRect(prompt, &outer);
  const int width = outer.right - outer.left, height = outer.bottom - outer.top;
  const struct {
    int id;
    const char* caption;
  } row[] = {{100, "Disinfect"}, {102, "Delete"}, {101, "Rename"}, {103, "Ignore"}};
  for (int i = 0; i < 4; ++i) {
    HWND button = GetDlgItem(prompt, row[i].id);
    ASSERT_NE(button, nullptr) << row[i].id;
    EXPECT_EQ(text(button), row[i].caption);
    const LONG style = GetWindowLongA(button, GWL_STYLE);
    EXPECT_EQ(style & (WS_VISIBLE | WS_TABSTOP), WS_VISIBLE | WS_TABSTOP);
    EXPECT_EQ(style & BS_TYPEMASK, BS_PUSHBUTTON) << "no default button";
    const RECT r = control_rect(prompt, row[i].id);
    EXPECT_EQ(r.left, ui::prompt_button_left(width, 4, i)) << row[i].caption;
    EXPECT_EQ(r.left, (width - 440) / 2 + 20 + 100 * i);
    EXPECT_EQ(r.top, height - 78);
    EXPECT_EQ(r.right - r.left, 80);
    EXPECT_EQ(r.bottom - r.top, 25);
    // The dialog's own font, like every other control, not the system font.
    EXPECT_EQ(SendMessageA(button, WM_GETFONT, 0, 0), SendMessageA(prompt, WM_GETFONT, 0, 0));
  }
}

TEST(PromptTemplate, Template138HasNoPushButtons) {
  expect_template(138, 319, 129,
                  {
                      {kBox, "Button", BS_AUTOCHECKBOX | BS_VCENTER | WS_TABSTOP, 0, 65, 80, 190, 11,
                       "Apply the selection made in this window for entire scan"},
                      {-1, "Button", BS_GROUPBOX, 0, 13, 13, 299, 63, "Information"},
                      {-1, "Static", SS_LEFT, SS_TYPEMASK, 17, 29, 31, 11, "Object :"},
                      {1030, "Static", SS_SUNKEN | SS_NOPREFIX, SS_TYPEMASK, 66, 28, 238, 13, ""},
                      {-1, "Static", SS_LEFT, SS_TYPEMASK, 17, 51, 47, 10, "Virus Name :"},
                      {1031, "Static", SS_SUNKEN | SS_NOPREFIX, SS_TYPEMASK, 66, 50, 238, 12, ""},
                  });
}

TEST_F(PromptTest, FieldsButtonRowAnswersAndApplyToAll) {
  // A folder name long enough that every object is over 60 characters.
  SampleFolder folder("prompt-a-folder-with-a-rather-long-name-for-the-object-field");
  const std::vector<std::string> worms = folder.write_worms(3);
  ASSERT_NO_FATAL_FAILURE(start_host("prompt", folder.path()));

  HWND prompt = next_prompt();
  ASSERT_NE(prompt, nullptr) << "no prompt";
  EXPECT_EQ(text(prompt), "Krelvon Ver 1.6");
  EXPECT_EQ(GetWindow(prompt, GW_OWNER), dialog);
  EXPECT_EQ(GetWindowLongA(prompt, GWL_STYLE) & WS_SYSMENU, 0);

  // Object and name fields.
  const std::string object = item_text(prompt, 1030);
  ASSERT_EQ(object.size(), 60u) << object;
  bool known = false;
  for (const std::string& w : worms) known = known || object == shortened(folder / w);
  EXPECT_TRUE(known) << object;
  EXPECT_EQ(item_text(prompt, 1031), SampleFolder::worm_name());
  EXPECT_EQ(item_text(prompt, kBox), "Apply the selection made in this window for entire scan");
  EXPECT_FALSE(box_ticked(prompt));
  const LONG box_style = GetWindowLongA(GetDlgItem(prompt, kBox), GWL_STYLE);
  EXPECT_EQ(box_style & BS_TYPEMASK, BS_AUTOCHECKBOX);
  EXPECT_NE(box_style & WS_TABSTOP, 0);
  GUITHREADINFO gui{};
  gui.cbSize = sizeof gui;
  ASSERT_TRUE(GetGUIThreadInfo(GetWindowThreadProcessId(prompt, nullptr), &gui));
  EXPECT_EQ(gui.hwndFocus, GetDlgItem(prompt, kBox));

  // Template 138 in dialog units.
  RECT client;
  GetClientRect(prompt, &client);
  const RECT size = dialog_units(0, 0, 319, 129);
  EXPECT_EQ(client.right, size.right);
  EXPECT_EQ(client.bottom, size.bottom);
  const struct {
    int id, x, y, w, h;
  } fields[] = {{kBox, 65, 80, 190, 11}, {1030, 66, 28, 238, 13}, {1031, 66, 50, 238, 12}};
  for (const auto& f : fields) {
    const RECT want = dialog_units(f.x, f.y, f.w, f.h);
    const RECT got = control_rect(prompt, f.id);
    EXPECT_EQ(got.left, want.left) << f.id;
    EXPECT_EQ(got.top, want.top) << f.id;
    EXPECT_EQ(got.right, want.right) << f.id;
    EXPECT_EQ(got.bottom, want.bottom) << f.id;
  }

  expect_button_row(prompt);
  screenshot(prompt, "prompt");

  // The box ticked and unticked again remembers nothing: Delete acts on this
  // file only and the next finding asks again.
  click(prompt, kBox);
  ASSERT_TRUE(wait_for([&] { return box_ticked(prompt); }));
  click(prompt, kBox);
  ASSERT_TRUE(wait_for([&] { return !box_ticked(prompt); }));
  EXPECT_TRUE(IsWindow(prompt)) << "the box ended the prompt";
  answer(prompt, 102);

  // Ticked, then Rename: the last file is renamed without a prompt.
  prompt = next_prompt();
  ASSERT_NE(prompt, nullptr) << "no second prompt";
  click(prompt, kBox);
  ASSERT_TRUE(wait_for([&] { return box_ticked(prompt); }));
  answer(prompt, 101);
  EXPECT_EQ(next_prompt(), nullptr) << "a prompt after apply-to-all";

  const std::vector<std::string> lines = wait_finished();
  EXPECT_EQ(count_with(lines, "     W32/BugBear.B.Worm deleted"), 1) << ::testing::PrintToString(lines);
  EXPECT_EQ(count_with(lines, "     W32/BugBear.B.Worm renamed"), 2) << ::testing::PrintToString(lines);
  const std::vector<std::string> stats = statistics_block(3, 3, 0, 2, 1);
  ASSERT_GE(lines.size(), stats.size());
  EXPECT_EQ(std::vector<std::string>(lines.end() - static_cast<long>(stats.size()), lines.end()), stats);
  int left = 0;
  for (const std::string& w : worms) left += fs::exists(folder / w) ? 1 : 0;
  EXPECT_EQ(left, 0);
}

// Esc with the box ticked ends the prompt without a choice and stops every
// later prompt: the chosen action stays none, so nothing happens to any file,
// and each finding still gets its line.
TEST_F(PromptTest, EscWithTheBoxTickedLeavesEveryFileAlone) {
  SampleFolder folder("prompt-esc");
  const std::vector<std::string> worms = folder.write_worms(3);
  ASSERT_NO_FATAL_FAILURE(start_host("prompt", folder.path()));
  HWND prompt = next_prompt();
  ASSERT_NE(prompt, nullptr);
  click(prompt, kBox);
  ASSERT_TRUE(wait_for([&] { return box_ticked(prompt); }));
  PostMessageA(prompt, WM_COMMAND, IDCANCEL, 0);
  ASSERT_TRUE(wait_for([&] { return !IsWindow(prompt); }));
  EXPECT_EQ(next_prompt(), nullptr);
  const std::vector<std::string> lines = wait_finished();
  std::vector<std::string> want;
  for (const std::string& line : lines)
    if (line.find("     ") != std::string::npos) want.push_back(line);
  EXPECT_EQ(count_with(want, std::string("     ") + SampleFolder::worm_name() +
                                 " not disinfected as per user's selection"),
            3)
      << ::testing::PrintToString(lines);
  for (const std::string& line : statistics_block(3, 3, 0, 0, 0)) want.push_back(line);
  EXPECT_EQ(lines, want);
  for (const std::string& w : worms) EXPECT_TRUE(fs::exists(folder / w)) << w;
}

// After a Delete, the next prompt ended by the Esc key and the one after it
// closed without a button: neither file is deleted, as the earlier answer
// would have it; each keeps its bytes and gets its line.
TEST_F(PromptTest, EscOrClosingNeverRepeatsTheEarlierAnswer) {
  SampleFolder folder("prompt-no-answer");
  const std::vector<std::string> worms = folder.write_worms(3);
  std::vector<std::vector<unsigned char>> bytes;
  for (const std::string& w : worms) bytes.push_back(samples::read_file(folder / w));
  ASSERT_NO_FATAL_FAILURE(start_host("prompt", folder.path()));
  HWND prompt = next_prompt();
  ASSERT_NE(prompt, nullptr);
  answer(prompt, 102);  // Delete

  // Esc, as the keyboard sends it to the focused check box: the dialog
  // manager turns it into Cancel.
  prompt = next_prompt();
  ASSERT_NE(prompt, nullptr) << "no second prompt";
  const std::string second = item_text(prompt, 1030);
  HWND focus = GetDlgItem(prompt, kBox);
  PostMessageA(focus, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
  PostMessageA(focus, WM_KEYUP, VK_ESCAPE, static_cast<LPARAM>(0xC0010001u));
  ASSERT_TRUE(wait_for([&] { return !IsWindow(prompt); })) << "Esc left the prompt open";

  prompt = next_prompt();
  ASSERT_NE(prompt, nullptr) << "no third prompt: Esc without the box must not apply to all";
  const std::string third = item_text(prompt, 1030);
  EXPECT_NE(third, second);
  PostMessageA(prompt, WM_CLOSE, 0, 0);
  ASSERT_TRUE(wait_for([&] { return !IsWindow(prompt); })) << "closing left the prompt open";
  EXPECT_EQ(next_prompt(), nullptr);

  const std::vector<std::string> lines = wait_finished();
  const std::string gap = std::string("     ") + SampleFolder::worm_name();
  EXPECT_EQ(count_with(lines, "     W32/BugBear.B.Worm deleted"), 1) << ::testing::PrintToString(lines);
  EXPECT_EQ(count_with(lines, gap + " not disinfected as per user's selection"), 2)
      << ::testing::PrintToString(lines);
  const std::vector<std::string> stats = statistics_block(3, 3, 0, 0, 1);
  ASSERT_GE(lines.size(), stats.size());
  EXPECT_EQ(std::vector<std::string>(lines.end() - static_cast<long>(stats.size()), lines.end()), stats);
  int kept = 0;
  for (std::size_t i = 0; i < worms.size(); ++i) {
    if (!fs::exists(folder / worms[i])) continue;
    ++kept;
    EXPECT_EQ(samples::read_file(folder / worms[i]), bytes[i]) << worms[i];
    EXPECT_TRUE(shortened(folder / worms[i]) == second || shortened(folder / worms[i]) == third) << worms[i];
  }
  EXPECT_EQ(kept, 2);
}

// krelvon.exe from its main dialog: Prompt and a folder chosen in the tree of
// the scan options dialog, then the progress dialog (the memory phase, then
// the walk) asks for every sample until apply-to-all. The first sample asked
// about is ignored and stays byte for byte; apply-to-all with Disinfect then
// repairs the infected host and deletes the worm file that are left.
TEST_F(PromptTest, ThroughTheProgramIgnoreThenDisinfectForAll) {
  KRELVON_REQUIRE_PROGRAM();
  namespace s = samples;
  SampleFolder folder("prompt-through-the-program-in-a-folder-with-a-long-name");
  // Two infected hosts and a worm file, all named W32/BugBear.B.Worm, and a
  // clean program.
  s::PeLayout editor_layout = s::typical_host(4);
  editor_layout.fill_seed = 5;
  s::PeLayout game_layout = s::typical_host(5);
  game_layout.fill_seed = 6;
  s::InfectOptions late;
  late.key_attempt = 2;
  const s::Bytes editor = s::build_pe(editor_layout), game = s::build_pe(game_layout);
  struct Sample {
    std::string name;
    s::Bytes bytes;
    s::Bytes disinfected;  // empty: a worm file, deleted by Disinfect
  };
  const std::vector<Sample> planted = {
      {"editor.exe", s::infect(editor), s::with_infection_flags(editor)},
      {"game.exe", s::infect(game, late), s::with_infection_flags(game)},
      {"helper-b.dll", s::make_worm_file(2, s::worm_file_length(2)), {}},
  };
  for (const Sample& sample : planted) {
    ASSERT_FALSE(sample.bytes.empty()) << sample.name;
    folder.write(sample.name, sample.bytes);
  }
  const s::Bytes clean = s::build_pe(s::typical_host(3));
  folder.write("calc.exe", clean);

  Program* program = nullptr;
  HWND main = start_krelvon(&program);
  ASSERT_NE(main, nullptr);
  host = program;
  click(main, IDOK);
  HWND options = wait_for_new_window(program->pid(), "Krelvon Ver 1.6", main);
  ASSERT_NE(options, nullptr) << "no scan options dialog";
  ASSERT_NE(GetDlgItem(options, IDC_FOLDER_TREE), nullptr) << "not the scan options dialog";
  click(options, IDC_HANDLING_PROMPT);
  click(options, IDC_SCOPE_SELECTED);
  ASSERT_TRUE(wait_for([&] {
    return SendDlgItemMessageA(options, IDC_HANDLING_PROMPT, BM_GETCHECK, 0, 0) == BST_CHECKED &&
           IsWindowEnabled(GetDlgItem(options, IDC_FOLDER_TREE));
  })) << "Prompt or Selected folders not taken";
  ASSERT_NO_FATAL_FAILURE(select_q_folder(GetDlgItem(options, IDC_FOLDER_TREE), {folder.path().substr(3)}));
  settle(options);
  screenshot(options, "options");
  click(options, IDOK);
  dialog = wait_for_dialog_with(program->pid(), IDC_PROGRESS_LIST);
  ASSERT_NE(dialog, nullptr) << "no progress dialog";

  // The sample a prompt is about, by its display-shortened path.
  const auto asked_about = [&](HWND prompt) -> const Sample* {
    const std::string object = item_text(prompt, IDC_PROMPT_OBJECT);
    for (const Sample& sample : planted)
      if (object == shortened(folder / sample.name)) return &sample;
    ADD_FAILURE() << "a prompt for " << object;
    return nullptr;
  };

  // The memory phase comes first and finds nothing of ours running.
  HWND prompt = next_prompt(90000);
  ASSERT_NE(prompt, nullptr) << "no prompt";
  EXPECT_EQ(text(prompt), "Krelvon Ver 1.6");
  EXPECT_EQ(GetWindow(prompt, GW_OWNER), dialog);
  const Sample* first = asked_about(prompt);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(item_text(prompt, IDC_PROMPT_OBJECT).size(), 60u);
  EXPECT_EQ(item_text(prompt, IDC_PROMPT_NAME), "W32/BugBear.B.Worm");
  EXPECT_FALSE(box_ticked(prompt));
  expect_button_row(prompt);
  screenshot(prompt, "first-prompt");
  answer(prompt, 103);  // Ignore
  EXPECT_EQ(s::read_file(folder / first->name), first->bytes) << "ignored, yet changed: " << first->name;

  prompt = next_prompt();
  ASSERT_NE(prompt, nullptr) << "no second prompt";
  const Sample* second = asked_about(prompt);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first) << "asked twice about " << first->name;
  EXPECT_EQ(item_text(prompt, IDC_PROMPT_NAME), "W32/BugBear.B.Worm");
  expect_button_row(prompt);
  click(prompt, kBox);
  ASSERT_TRUE(wait_for([&] { return box_ticked(prompt); }));
  screenshot(prompt, "apply-to-all");
  answer(prompt, 100);  // Disinfect
  EXPECT_EQ(next_prompt(), nullptr) << "a prompt after apply-to-all";

  // The result list: the three findings in the order asked, then the
  // statistics block; the clean program is scanned and not listed.
  const std::vector<std::string> lines = wait_finished();
  const Sample* third = nullptr;
  for (const Sample& sample : planted)
    if (&sample != first && &sample != second) third = &sample;
  std::vector<std::string> want = {folder / first->name +
                                   "     W32/BugBear.B.Worm not disinfected as per user's selection"};
  int disinfected = 0, deleted = 0;
  for (const Sample* sample : {second, third}) {
    const bool worm = sample->disinfected.empty();
    want.push_back(folder / sample->name + (worm ? "     W32/BugBear.B.Worm deleted" : "     W32/BugBear.B.Worm Disinfected"));
    (worm ? deleted : disinfected) += 1;
  }
  for (const std::string& line : statistics_block(4, 3, disinfected, 0, deleted)) want.push_back(line);
  EXPECT_EQ(lines, want);
  screenshot(dialog, "finished");

  // The files on disk.
  EXPECT_EQ(s::read_file(folder / first->name), first->bytes) << first->name;
  for (const Sample* sample : {second, third}) {
    if (sample->disinfected.empty())
      EXPECT_FALSE(fs::exists(folder / sample->name)) << sample->name;
    else
      EXPECT_EQ(s::read_file(folder / sample->name), sample->disinfected) << sample->name;
  }
  EXPECT_EQ(s::read_file(folder / "calc.exe"), clean);
}

}  // namespace
}  // namespace krelvon::gui
