// The scan options dialog and its folder tree through the window system:
// the template, the state at opening, the enabling rules, a folder chosen in
// the tree through the tree's own messages, and what Scan and Cancel do.
// krelvon_setup_entry.exe shows the dialog on its own and records what Scan
// wrote into the scan settings and what the scan driver then found.
#include <windows.h>

#include <commctrl.h>

#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "resources/resource.h"
#include "tests/gui/gui_support.h"
#include "tools/samples.h"

namespace krelvon::gui {
namespace {

constexpr char kTitle[] = "Krelvon Ver 1.6";

// What the entry program recorded at Scan.
struct Record {
  std::map<std::string, std::string> fields;
  std::vector<std::string> lines;
  bool present = false;
};

Record read_record(const std::string& path) {
  Record record;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    record.present = true;
    const auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals);
    const std::string value = line.substr(equals + 1);
    if (key == "line")
      record.lines.push_back(value);
    else
      record.fields[key] = value;
  }
  return record;
}

// The handling and action flags that Scan wrote, in one line.
std::string handling_and_actions(const Record& record) {
  std::string out;
  for (const char* key : {"prompt", "automatic", "disinfect", "delete", "rename", "ignore"}) {
    const auto found = record.fields.find(key);
    out += std::string(out.empty() ? "" : " ") + key + "=" + (found != record.fields.end() ? found->second : "?");
  }
  return out;
}

// The narrow text of a wide name in the ANSI code page (what the tree's
// labels and the scan path hold).
std::string ansi(const std::wstring& text) {
  char out[MAX_PATH] = {};
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, out, MAX_PATH, nullptr, nullptr);
  return out;
}

// A folder of drive Q: for one test, removed with everything in it.
class QFolder {
 public:
  QFolder() : name_("setup-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount())) {
    CreateDirectoryA(path().c_str(), nullptr);
  }
  ~QFolder() { remove(path()); }
  const std::string& name() const { return name_; }
  std::string path() const { return "Q:\\" + name_; }

 private:
  static void remove(const std::string& folder) {
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::string name = entry.cFileName;
        if (name == "." || name == "..") continue;
        const std::string child = folder + "\\" + name;
        SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
          remove(child);
        else
          DeleteFileA(child.c_str());
      } while (FindNextFileA(find, &entry));
      FindClose(find);
    }
    RemoveDirectoryA(folder.c_str());
  }
  std::string name_;
};

class ScanOptionsTest : public GuiTest {
 protected:
  HWND open(const std::string& options = "") {
    record_ = build_path("gui-screenshots\\record-" + std::to_string(GetCurrentProcessId()) + "-" +
                         std::to_string(GetTickCount()) + ".txt");
    DeleteFileA(record_.c_str());
    Program& program = start("\"" + build_path("tests/gui/krelvon_setup_entry.exe") + "\" " + options + record_);
    pid_ = program.pid();
    program_ = &program;
    HWND dialog = wait_for_window(pid_, kTitle);
    EXPECT_NE(dialog, nullptr) << "no scan options dialog";
    return dialog;
  }
  void TearDown() override {
    DeleteFileA(record_.c_str());
    GuiTest::TearDown();
  }
  // Presses Scan and waits for the program to finish the scan and end.
  Record scan(HWND dialog) {
    click(dialog, IDOK);
    EXPECT_TRUE(program_->wait_exit(60000)) << "the scan did not end";
    return read_record(record_);
  }
  bool checked(HWND dialog, int id) const {
    return SendMessageA(GetDlgItem(dialog, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
  }
  bool enabled(HWND dialog, int id) const { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }
  // Selects a folder of drive Q: in the tree, expanding the way to it.
  void select_q_folder(HWND dialog, const std::vector<std::string>& labels) {
    ASSERT_NO_FATAL_FAILURE(gui::select_q_folder(GetDlgItem(dialog, IDC_FOLDER_TREE), labels));
  }
  // Chooses Selected folders and then that folder of drive Q: in the tree.
  void choose_q_folder(HWND dialog, const std::vector<std::string>& labels) {
    click(dialog, IDC_SCOPE_SELECTED);
    settle(dialog);
    ASSERT_NO_FATAL_FAILURE(select_q_folder(dialog, labels));
  }

  DWORD pid_ = 0;
  Program* program_ = nullptr;
  std::string record_;
};

constexpr int kActionControls[] = {IDC_ACTION_GROUP, IDC_ACTION_DISINFECT, IDC_ACTION_RENAME, IDC_ACTION_DELETE,
                                   IDC_ACTION_IGNORE};

// Template 136 as the resource compiler stored it in the program.
struct TemplateItem {
  DWORD style = 0;
  int id = 0;
  std::string cls;  // "#128" for the button class ordinal
  std::string title;
  int x = 0, y = 0, w = 0, h = 0;
};
struct Template {
  DWORD style = 0;
  int w = 0, h = 0;
  std::string title;
  int points = 0;
  std::string face;
  std::vector<TemplateItem> items;
};

// A name or ordinal of a template: 0 none, 0xFFFF and an ordinal, or a
// zero-terminated wide text.
std::string read_name(const WORD*& p) {
  if (*p == 0xFFFF) {
    const std::string ordinal = "#" + std::to_string(p[1]);
    p += 2;
    return ordinal;
  }
  std::string out;
  while (*p != 0) out += static_cast<char>(*p++);
  ++p;
  return out;
}

Template load_template(const std::string& program, int id) {
  Template out;
  HMODULE module = LoadLibraryExA(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) return out;
  HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(5));  // RT_DIALOG
  const auto* base = found != nullptr ? static_cast<const BYTE*>(LockResource(LoadResource(module, found))) : nullptr;
  if (base != nullptr) {
    DLGTEMPLATE head;
    std::memcpy(&head, base, sizeof head);
    out.style = head.style;
    out.w = head.cx;
    out.h = head.cy;
    const WORD* p = reinterpret_cast<const WORD*>(base + 18);
    read_name(p);  // menu
    read_name(p);  // class
    out.title = read_name(p);
    if ((head.style & DS_SETFONT) != 0) {
      out.points = *p++;
      out.face = read_name(p);
    }
    for (int i = 0; i < head.cdit; ++i) {
      // Each item starts on a DWORD boundary.
      const auto offset = reinterpret_cast<const BYTE*>(p) - base;
      p = reinterpret_cast<const WORD*>(base + ((offset + 3) & ~3));
      DLGITEMTEMPLATE item;
      std::memcpy(&item, p, sizeof item);
      p = reinterpret_cast<const WORD*>(reinterpret_cast<const BYTE*>(p) + 18);
      TemplateItem got;
      got.style = item.style;
      got.id = item.id;
      got.x = item.x;
      got.y = item.y;
      got.w = item.cx;
      got.h = item.cy;
      got.cls = read_name(p);
      got.title = read_name(p);
      const WORD extra = *p++;
      p = reinterpret_cast<const WORD*>(reinterpret_cast<const BYTE*>(p) + extra);
      out.items.push_back(got);
    }
  }
  FreeLibrary(module);
  return out;
}

struct Control {
  int id;
  const char* cls;
  DWORD styles;  // besides WS_CHILD and WS_VISIBLE
  const char* label;
  int x, y, w, h;
};
constexpr DWORD kTreeStyles = TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT | WS_BORDER | WS_TABSTOP;
const Control kControls[] = {
    {IDOK, "#128", BS_DEFPUSHBUTTON | WS_TABSTOP, "Scan", 110, 170, 50, 14},
    {IDCANCEL, "#128", BS_PUSHBUTTON | WS_TABSTOP, "Cancel", 193, 170, 50, 14},
    {IDC_SCOPE_ALL_DRIVES, "#128", BS_AUTORADIOBUTTON | WS_GROUP | WS_TABSTOP, "Scan all hard drives", 30, 22, 78, 14},
    {IDC_SCOPE_C_DRIVE, "#128", BS_AUTORADIOBUTTON | WS_TABSTOP, "Scan C drive", 30, 38, 77, 15},
    {IDC_SCOPE_SELECTED, "#128", BS_AUTORADIOBUTTON | WS_TABSTOP, "Selected folders", 30, 55, 72, 15},
    {0xFFFF, "#128", BS_GROUPBOX, "", 17, 13, 320, 136},
    {0xFFFF, "#128", BS_GROUPBOX, "When virus found", 166, 36, 163, 33},
    {IDC_HANDLING_PROMPT, "#128", BS_AUTORADIOBUTTON | WS_GROUP, "Prompt", 191, 50, 43, 13},
    {IDC_HANDLING_AUTOMATIC, "#128", BS_AUTORADIOBUTTON, "Automatic", 255, 51, 52, 12},
    {IDC_ACTION_GROUP, "#128", BS_GROUPBOX, "Take action automatically", 178, 73, 139, 57},
    {IDC_FOLDER_TREE, "SysTreeView32", kTreeStyles, "", 25, 73, 120, 60},
    {IDC_ACTION_DISINFECT, "#128", BS_AUTORADIOBUTTON | WS_GROUP, "Disinfect", 195, 84, 50, 13},
    {IDC_ACTION_RENAME, "#128", BS_AUTORADIOBUTTON, "Rename", 259, 84, 42, 11},
    {IDC_ACTION_DELETE, "#128", BS_AUTORADIOBUTTON, "Delete", 195, 109, 44, 11},
    {IDC_ACTION_IGNORE, "#128", BS_AUTORADIOBUTTON, "Ignore", 259, 109, 38, 11},
};

TEST_F(ScanOptionsTest, TemplateHoldsTheControlsInOrderWithTheirKindsStylesTextsAndRectangles) {
  for (const std::string program : {"tests/gui/krelvon_setup_entry.exe", "ui/krelvon.exe"}) {
    if (GetFileAttributesA(build_path(program).c_str()) == INVALID_FILE_ATTRIBUTES) continue;
    SCOPED_TRACE(program);
    const Template t = load_template(build_path(program), IDD_SCAN_OPTIONS);
    EXPECT_EQ(t.style, static_cast<DWORD>(DS_MODALFRAME | WS_POPUP | WS_CAPTION | DS_SETFONT));
    EXPECT_EQ(t.w, 351);
    EXPECT_EQ(t.h, 191);
    EXPECT_EQ(t.points, 8);
    EXPECT_EQ(t.face, "MS Sans Serif");
    ASSERT_EQ(t.items.size(), std::size(kControls));
    for (size_t i = 0; i < t.items.size(); ++i) {
      const Control& c = kControls[i];
      const TemplateItem& got = t.items[i];
      SCOPED_TRACE("control " + std::to_string(i) + " (" + c.label + ")");
      EXPECT_EQ(got.id, c.id);
      // The button class by its ordinal or by its name, and class names in
      // any case: the same class to the dialog manager.
      const std::string cls = _stricmp(got.cls.c_str(), "button") == 0 ? "#128" : got.cls;
      EXPECT_EQ(_stricmp(cls.c_str(), c.cls), 0) << cls;
      EXPECT_EQ(got.style, c.styles | WS_CHILD | WS_VISIBLE);
      EXPECT_EQ(got.title, c.label);
      EXPECT_EQ(got.x, c.x);
      EXPECT_EQ(got.y, c.y);
      EXPECT_EQ(got.w, c.w);
      EXPECT_EQ(got.h, c.h);
    }
  }
}

TEST_F(ScanOptionsTest, DialogShowsTheTemplateWithTheProgramTitleAndNoSystemMenu) {
  HWND dialog = open();
  ASSERT_NE(dialog, nullptr);
  screenshot(dialog, "opened");
  EXPECT_EQ(text(dialog), kTitle);
  EXPECT_NE(style(dialog) & WS_CAPTION, 0);
  EXPECT_EQ(style(dialog) & WS_SYSMENU, 0);
  EXPECT_NE(style(dialog) & WS_POPUP, 0);
  EXPECT_NE(ex_style(dialog) & WS_EX_DLGMODALFRAME, 0);
  const RECT client = dialog_units(0, 0, 351, 191);
  EXPECT_EQ(client_size(dialog).cx, client.right);
  EXPECT_EQ(client_size(dialog).cy, client.bottom);
  const std::vector<HWND> all = children(dialog);
  ASSERT_EQ(all.size(), std::size(kControls));
  for (size_t i = 0; i < all.size(); ++i) {
    const Control& c = kControls[i];
    SCOPED_TRACE("control " + std::to_string(i) + " (" + c.label + ")");
    EXPECT_EQ(GetDlgCtrlID(all[i]), c.id);
    EXPECT_EQ(class_name(all[i]), std::string(c.cls) == "#128" ? "Button" : c.cls);
    EXPECT_EQ(text(all[i]), c.label);
    RECT got{};
    GetWindowRect(all[i], &got);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&got), 2);
    const RECT rect = dialog_units(c.x, c.y, c.w, c.h);
    EXPECT_EQ(got.left, rect.left);
    EXPECT_EQ(got.top, rect.top);
    EXPECT_EQ(got.right, rect.right);
    EXPECT_EQ(got.bottom, rect.bottom);
  }
}

TEST_F(ScanOptionsTest, OpensOnAllDrivesAutomaticDisinfectWithTheTreeListedButDisabled) {
  QFolder folder;
  samples::write_demo(folder.path() + "\\Samples");
  HWND dialog = open();
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(checked(dialog, IDC_SCOPE_ALL_DRIVES));
  EXPECT_FALSE(checked(dialog, IDC_SCOPE_C_DRIVE));
  EXPECT_FALSE(checked(dialog, IDC_SCOPE_SELECTED));
  EXPECT_FALSE(enabled(dialog, IDC_FOLDER_TREE));
  RemoteTree tree(GetDlgItem(dialog, IDC_FOLDER_TREE));
  ASSERT_TRUE(tree.ok());
  const std::vector<HTREEITEM> top = tree.children(nullptr);
  EXPECT_FALSE(top.empty()) << "the top level is not listed";
  // Listed lazily: nothing below the top level yet.
  EXPECT_EQ(tree.count(), static_cast<int>(top.size()));
  int with_icon = 0;
  for (HTREEITEM item : top) {
    EXPECT_FALSE(tree.get(item).label.empty());
    if (tree.get(item).image >= 0) ++with_icon;
  }
  EXPECT_GT(with_icon, 0) << "no shell icons";

  EXPECT_FALSE(checked(dialog, IDC_HANDLING_PROMPT));
  EXPECT_TRUE(checked(dialog, IDC_HANDLING_AUTOMATIC));
  for (const int id : kActionControls) EXPECT_TRUE(enabled(dialog, id)) << id;
  EXPECT_TRUE(IsWindowVisible(GetDlgItem(dialog, IDC_ACTION_DISINFECT)));
  EXPECT_TRUE(checked(dialog, IDC_ACTION_DISINFECT));
  EXPECT_FALSE(checked(dialog, IDC_ACTION_RENAME));
  EXPECT_FALSE(checked(dialog, IDC_ACTION_DELETE));
  EXPECT_FALSE(checked(dialog, IDC_ACTION_IGNORE));

  // What the defaults put into the scan settings, seen at Scan (of a small
  // folder rather than every drive).
  choose_q_folder(dialog, {folder.name(), "Samples"});
  const Record record = scan(dialog);
  ASSERT_TRUE(record.present);
  EXPECT_EQ(handling_and_actions(record), "prompt=0 automatic=1 disinfect=1 delete=0 rename=0 ignore=0");
  EXPECT_EQ(record.fields.at("offered"), "1111");
}

TEST_F(ScanOptionsTest, PromptDisablesTheActionControlsAndKeepsTheCheckedAction) {
  QFolder folder;
  samples::write_demo(folder.path() + "\\Samples");
  HWND dialog = open();
  ASSERT_NE(dialog, nullptr);
  click(dialog, IDC_ACTION_RENAME);
  click(dialog, IDC_HANDLING_PROMPT);
  settle(dialog);
  EXPECT_TRUE(checked(dialog, IDC_HANDLING_PROMPT));
  EXPECT_FALSE(checked(dialog, IDC_HANDLING_AUTOMATIC));
  for (const int id : kActionControls) EXPECT_FALSE(enabled(dialog, id)) << id;
  EXPECT_TRUE(checked(dialog, IDC_ACTION_RENAME));
  EXPECT_FALSE(checked(dialog, IDC_ACTION_DISINFECT));
  screenshot(dialog, "prompt");

  click(dialog, IDC_HANDLING_AUTOMATIC);
  settle(dialog);
  for (const int id : kActionControls) EXPECT_TRUE(enabled(dialog, id)) << id;
  EXPECT_TRUE(checked(dialog, IDC_ACTION_RENAME));

  // Prompt again: Scan writes the action flags from the disabled buttons.
  click(dialog, IDC_HANDLING_PROMPT);
  choose_q_folder(dialog, {folder.name(), "Samples"});
  const Record record = scan(dialog);
  ASSERT_TRUE(record.present);
  EXPECT_EQ(handling_and_actions(record), "prompt=1 automatic=0 disinfect=0 delete=0 rename=1 ignore=0");
}

TEST_F(ScanOptionsTest, SelectedFoldersEnablesTheTreeAndOtherScopesDisableIt) {
  HWND dialog = open();
  ASSERT_NE(dialog, nullptr);
  click(dialog, IDC_SCOPE_SELECTED);
  settle(dialog);
  EXPECT_TRUE(enabled(dialog, IDC_FOLDER_TREE));
  EXPECT_TRUE(checked(dialog, IDC_SCOPE_SELECTED));
  EXPECT_FALSE(checked(dialog, IDC_SCOPE_ALL_DRIVES));
  // A folder selected now is ignored once another scope is chosen.
  select_q_folder(dialog, {});
  screenshot(dialog, "selected-folders");
  click(dialog, IDC_SCOPE_ALL_DRIVES);
  settle(dialog);
  EXPECT_FALSE(enabled(dialog, IDC_FOLDER_TREE));
  click(dialog, IDC_SCOPE_C_DRIVE);
  settle(dialog);
  EXPECT_FALSE(enabled(dialog, IDC_FOLDER_TREE));
  EXPECT_TRUE(checked(dialog, IDC_SCOPE_C_DRIVE));
  EXPECT_FALSE(checked(dialog, IDC_SCOPE_SELECTED));
  // The entry program records the scan path and leaves the drives of the
  // test machine alone.
  click(dialog, IDC_ACTION_IGNORE);
  const Record record = scan(dialog);
  ASSERT_TRUE(record.present);
  EXPECT_EQ(record.fields.at("scan_path"), "C:");
  EXPECT_EQ(record.fields.at("ignore"), "1");
  EXPECT_EQ(record.fields.at("disinfect"), "0");
}

// Scan with a folder chosen in the tree: exactly that folder is scanned,
// its sibling is not. The finding lines come from the real scan driver.
// lines: the result list; scanned: the count of files scanned.
void expect_findings_only_in(const std::vector<std::string>& lines, int scanned, const std::string& folder,
                             const std::string& sibling) {
  int findings = 0;
  for (const std::string& line : lines) {
    // Finding lines hold five spaces between the object and the detection;
    // the statistics block's lines do not.
    if (line.find("     ") == std::string::npos || line.rfind("System ", 0) == 0) continue;
    EXPECT_EQ(line.rfind(folder + "\\", 0), 0u) << line;
    EXPECT_EQ(line.find(sibling), std::string::npos) << line;
    ++findings;
  }
  // The demonstration folder holds three worm files and three infected
  // hosts among its clean files.
  EXPECT_EQ(findings, 6);
  // Its own files only: one demonstration folder holds fewer than twice six.
  EXPECT_GT(scanned, 6);
  EXPECT_LT(scanned, 12);
}

void expect_scanned_exactly(const Record& record, const std::string& folder, const std::string& sibling) {
  ASSERT_TRUE(record.present);
  EXPECT_EQ(record.fields.at("scan_path"), folder);
  // The dialog released every folder item of the tree, the expanded ones
  // included, when it was destroyed.
  EXPECT_EQ(record.fields.at("items_alive"), "0");
  expect_findings_only_in(record.lines, std::stoi(record.fields.at("scanned")), folder, sibling);
}

TEST_F(ScanOptionsTest, ScanScansExactlyTheFolderChosenInTheTree) {
  QFolder folder;
  samples::write_demo(folder.path() + "\\Samples");
  samples::write_demo(folder.path() + "\\Sibling");
  HWND dialog = open();
  ASSERT_NE(dialog, nullptr);
  click(dialog, IDC_SCOPE_SELECTED);
  settle(dialog);
  {
    RemoteTree tree(GetDlgItem(dialog, IDC_FOLDER_TREE));
    HTREEITEM q = tree.q_drive();
    ASSERT_NE(q, nullptr);
    tree.expand(q);
    HTREEITEM mine = tree.child_labelled(q, folder.name());
    ASSERT_NE(mine, nullptr);
    tree.expand(mine);
    // Folders only, sorted by label; listed once however often expanded.
    std::vector<std::string> labels;
    for (HTREEITEM child : tree.children(mine)) labels.push_back(tree.get(child).label);
    EXPECT_EQ(labels, (std::vector<std::string>{"Samples", "Sibling"}));
    tree.collapse(mine);
    tree.expand(mine);
    EXPECT_EQ(tree.children(mine).size(), 2u);
    ASSERT_TRUE(tree.select(tree.child_labelled(mine, "Samples")));
  }
  SetFocus(nullptr);
  screenshot(dialog, "folder-chosen");
  expect_scanned_exactly(scan(dialog), folder.path() + "\\Samples", "Sibling");
}

TEST_F(ScanOptionsTest, FolderWithANonAsciiNameIsFoundAndScanned) {
  QFolder folder;
  const std::string umlaut = ansi(L"M\u00fcller");
  // Written under a plain name, then named through the narrow file
  // functions, as the scan will reach it.
  samples::write_demo(folder.path() + "\\staging");
  ASSERT_TRUE(MoveFileA((folder.path() + "\\staging").c_str(), (folder.path() + "\\" + umlaut).c_str()));
  samples::write_demo(folder.path() + "\\Other");
  HWND dialog = open();
  ASSERT_NE(dialog, nullptr);
  choose_q_folder(dialog, {folder.name(), umlaut});
  screenshot(dialog, "non-ascii");
  expect_scanned_exactly(scan(dialog), folder.path() + "\\" + umlaut, "Other");
}

TEST_F(ScanOptionsTest, HiddenDisinfectButtonIsStillCheckedAndWritten) {
  QFolder folder;
  samples::write_demo(folder.path() + "\\Samples");
  HWND dialog = open("--hide-disinfect ");
  ASSERT_NE(dialog, nullptr);
  EXPECT_FALSE(IsWindowVisible(GetDlgItem(dialog, IDC_ACTION_DISINFECT)));
  EXPECT_TRUE(checked(dialog, IDC_ACTION_DISINFECT));
  screenshot(dialog, "disinfect-hidden");
  choose_q_folder(dialog, {folder.name(), "Samples"});
  const Record record = scan(dialog);
  ASSERT_TRUE(record.present);
  EXPECT_EQ(handling_and_actions(record), "prompt=0 automatic=1 disinfect=1 delete=0 rename=0 ignore=0");
}

TEST_F(ScanOptionsTest, ThroughTheProgramTheProgressDialogListsTheChosenFolderOnly) {
  KRELVON_REQUIRE_PROGRAM();
  QFolder folder;
  samples::write_demo(folder.path() + "\\Samples");
  samples::write_demo(folder.path() + "\\Sibling");
  Program* program = nullptr;
  HWND main = start_krelvon(&program);
  ASSERT_NE(main, nullptr);
  click(main, IDOK);
  HWND options = wait_for_new_window(program->pid(), kTitle, main);
  ASSERT_NE(options, nullptr);
  ASSERT_NE(GetDlgItem(options, IDC_FOLDER_TREE), nullptr) << "not the scan options dialog";
  choose_q_folder(options, {folder.name(), "Samples"});
  click(options, IDOK);
  HWND progress = nullptr;
  ASSERT_TRUE(wait_for([&] {
    for (HWND window : top_level_windows(program->pid()))
      if (GetDlgItem(window, IDC_PROGRESS_LIST) != nullptr && GetDlgItem(window, IDC_FOLDER_TREE) == nullptr) progress = window;
    return progress != nullptr;
  })) << "no progress dialog";
  // OK takes Cancel's place when the scan is over.
  ASSERT_TRUE(wait_for([&] { return IsWindowVisible(GetDlgItem(progress, IDC_PROGRESS_OK)) != FALSE; }, 60000))
      << "the scan did not end";
  screenshot(progress, "scanned");
  const std::vector<std::string> lines = list_lines(GetDlgItem(progress, IDC_PROGRESS_LIST));
  // Total files scanned, as the statistics block shows it.
  int scanned = -1;
  for (const std::string& line : lines)
    if (line.rfind("Total files scanned", 0) == 0) scanned = std::stoi(line.substr(line.find(':') + 1));
  std::string all;
  for (const std::string& line : lines) all += line + "\n";
  ASSERT_NE(scanned, -1) << "no statistics block in:\n" << all;
  expect_findings_only_in(lines, scanned, folder.path() + "\\Samples", "Sibling");
}

TEST_F(ScanOptionsTest, CancelWritesNothingAndShowsTheClosingDialog) {
  HWND dialog = open();
  ASSERT_NE(dialog, nullptr);
  click(dialog, IDCANCEL);
  HWND closing = wait_for_new_window(pid_, kTitle, dialog);
  ASSERT_NE(closing, nullptr) << "no closing dialog";
  EXPECT_NE(GetDlgItem(closing, IDC_THANK_YOU), nullptr);
  EXPECT_FALSE(IsWindowVisible(dialog));
  click(closing, IDOK);
  EXPECT_TRUE(program_->wait_exit(15000));
  EXPECT_FALSE(read_record(record_).present) << "Cancel ran a scan";
}

}  // namespace
}  // namespace krelvon::gui
