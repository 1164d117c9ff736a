// The application shell through the window system: start-up and the
// single-instance rule, the main dialog, the closing dialog and the
// hyperlink controls.
#include <string>
#include <vector>

#include "resources/resource.h"
#include "tests/gui/gui_support.h"

namespace krelvon::gui {
namespace {

constexpr char kTitle[] = "Krelvon Ver 1.6";

std::string closing_entry_command() {
  return "\"" + build_path("tests/gui/krelvon_closing_entry.exe") + "\"";
}

class ClosingDialogTest : public GuiTest {
 protected:
  HWND open() {
    Program& program = start(closing_entry_command());
    pid = program.pid();
    HWND dialog = wait_for_window(pid, kTitle);
    EXPECT_NE(dialog, nullptr) << "no closing dialog";
    return dialog;
  }
  DWORD pid = 0;
};

TEST_F(ClosingDialogTest, ShowsTheThankYouLinesAndTheWebSite) {
  HWND dialog = open();
  ASSERT_NE(dialog, nullptr);
  screenshot(dialog, "closing");
  EXPECT_EQ(text(dialog), kTitle);
  EXPECT_EQ(item_text(dialog, IDC_THANK_YOU),
            "Thank you for using the Krelvon program. You can protect your computer");
  EXPECT_EQ(item_text(dialog, IDC_WEB_SITE_LINK), KRELVON_MAKER_WEB_SITE);
  EXPECT_EQ(item_text(dialog, IDOK), "OK");
}

// The template's rectangles in dialog units, checked against where the
// controls are, in pixels, for the template's font.
struct Placed {
  int id;
  int x, y, w, h;
};

void expect_layout(HWND dialog, SIZE units, std::initializer_list<Placed> controls) {
  const RECT client = dialog_units(0, 0, units.cx, units.cy);
  EXPECT_EQ(client_size(dialog).cx, client.right);
  EXPECT_EQ(client_size(dialog).cy, client.bottom);
  for (const Placed& c : controls) {
    const RECT want = dialog_units(c.x, c.y, c.w, c.h);
    const RECT got = control_rect(dialog, c.id);
    EXPECT_EQ(got.left, want.left) << "control " << c.id;
    EXPECT_EQ(got.top, want.top) << "control " << c.id;
    EXPECT_EQ(got.right, want.right) << "control " << c.id;
    EXPECT_EQ(got.bottom, want.bottom) << "control " << c.id;
  }
}

// A caption bar without a system-menu box, a modal frame.
void expect_frame(HWND dialog) {
  EXPECT_NE(style(dialog) & WS_CAPTION, 0);
  EXPECT_EQ(style(dialog) & WS_SYSMENU, 0);
  EXPECT_NE(ex_style(dialog) & WS_EX_DLGMODALFRAME, 0);
}

TEST_F(ClosingDialogTest, TemplateLayoutAndFrame) {
  HWND dialog = open();
  ASSERT_NE(dialog, nullptr);
  expect_frame(dialog);
  expect_layout(dialog, {303, 91},
                {{IDOK, 124, 63, 50, 14}, {IDC_WEB_SITE_LINK, 7, 44, 289, 13},
                 {IDC_THANK_YOU, 7, 14, 289, 8}});
  // The static without an identifier continues the thank-you sentence.
  const auto all = children(dialog);
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(text(all[1]),
            "against all types of viruses, worms and trojans by installing \nCorvane Anti-virus Software.");
  RECT rect{};
  GetWindowRect(all[1], &rect);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
  const RECT want = dialog_units(7, 22, 289, 23);
  EXPECT_EQ(rect.left, want.left);
  EXPECT_EQ(rect.top, want.top);
  EXPECT_EQ(rect.right, want.right);
  EXPECT_EQ(rect.bottom, want.bottom);
  // Centred statics; the link centred both ways.
  EXPECT_EQ(style(all[1]) & SS_TYPEMASK, SS_CENTER);
  EXPECT_EQ(style(GetDlgItem(dialog, IDC_THANK_YOU)) & SS_TYPEMASK, SS_CENTER);
  EXPECT_EQ(style(GetDlgItem(dialog, IDC_WEB_SITE_LINK)) & SS_TYPEMASK, SS_CENTER);
  EXPECT_NE(style(GetDlgItem(dialog, IDC_WEB_SITE_LINK)) & SS_CENTERIMAGE, 0);
  EXPECT_EQ(style(GetDlgItem(dialog, IDOK)) & 0x0F, BS_DEFPUSHBUTTON);
}

// --- Hyperlink controls ---------------------------------------------------

constexpr COLORREF kLink = RGB(0, 0, 238);
constexpr COLORREF kVisited = RGB(85, 26, 139);
// An underline is a horizontal run of the text colour much longer than any
// stroke of a letter.
constexpr int kUnderlineRun = 40;

Image link_pixels(HWND dialog, int id) {
  RECT rect{};
  GetWindowRect(GetDlgItem(dialog, id), &rect);
  return capture(rect);
}

bool link_drawn(HWND dialog, int id, COLORREF colour, bool underlined) {
  const Image image = link_pixels(dialog, id);
  const COLORREF other = colour == kLink ? kVisited : kLink;
  return image.count(colour) > 20 && image.count(other) == 0 &&
         (image.longest_run(colour) >= kUnderlineRun) == underlined;
}

HWND visible_tooltip(DWORD pid) { return find_window(pid, nullptr, "tooltips_class32"); }

// Hovering: underline at once, the address as tooltip, plain again soon
// after the pointer has left.
void check_hover(DWORD pid, HWND dialog, int id, const std::string& address) {
  EXPECT_TRUE(link_drawn(dialog, id, kLink, false)) << "not drawn plain in the link colour";
  move_pointer(centre(GetDlgItem(dialog, id)));
  EXPECT_TRUE(wait_for([&] { return link_drawn(dialog, id, kLink, true); }, 3000))
      << "no underline while the pointer is over the link";
  HWND tip = nullptr;
  EXPECT_TRUE(wait_for(
      [&] {
        tip = visible_tooltip(pid);
        return tip != nullptr;
      },
      5000))
      << "no tooltip";
  if (tip != nullptr) {
    EXPECT_EQ(text(tip), address);
    screenshot(dialog, "hover");
    screenshot(tip, "tooltip");
  }
  park_pointer();
  EXPECT_TRUE(wait_for([&] { return link_drawn(dialog, id, kLink, false); }, 1000))
      << "still underlined after the pointer left";
}

// Clicking: the exact address reaches the browser and the link turns to the
// visited colour; a browser that cannot start gives the message box and
// the link colour again.
void check_click(DWORD pid, HWND dialog, int id, const std::string& address) {
  const POINT link = centre(GetDlgItem(dialog, id));
  {
    UrlRecorder recorder;
    HttpOpenCommand open(recorder.command());
    click_pointer(link);
    EXPECT_EQ(recorder.addresses(), std::vector<std::string>{address});
    park_pointer();
    EXPECT_TRUE(wait_for([&] { return link_drawn(dialog, id, kVisited, false); }, 3000))
        << "an opened link is not drawn in the visited colour";
    screenshot(dialog, "visited");
    // Over the link it takes the hover colour again.
    move_pointer(link);
    EXPECT_TRUE(wait_for([&] { return link_drawn(dialog, id, kLink, true); }, 3000));
    park_pointer();
    EXPECT_TRUE(wait_for([&] { return link_drawn(dialog, id, kVisited, false); }, 3000));
  }
  HttpOpenCommand open("\"C:\\no-such-browser\\browser.exe\" \"%1\"");
  click_pointer(link);
  HWND box = wait_for_window(pid, "GUI");
  ASSERT_NE(box, nullptr) << "no message box";
  screenshot(box, "no-browser");
  EXPECT_EQ(item_text(box, 0xFFFF), "Unable to launch Internet Browser");
  EXPECT_NE(GetDlgItem(box, IDOK), nullptr);
  EXPECT_EQ(GetDlgItem(box, IDCANCEL), nullptr);
  EXPECT_EQ(GetWindow(box, GW_OWNER), dialog);
  click(box, IDOK);
  EXPECT_TRUE(wait_until_gone(box));
  park_pointer();
  EXPECT_TRUE(wait_for([&] { return link_drawn(dialog, id, kLink, false); }, 3000))
      << "a failed attempt does not return the link colour";
}

TEST_F(ClosingDialogTest, WebSiteLinkHoverAndTooltip) {
  HWND dialog = open();
  ASSERT_NE(dialog, nullptr);
  check_hover(pid, dialog, IDC_WEB_SITE_LINK, KRELVON_MAKER_WEB_SITE);
}

TEST_F(ClosingDialogTest, WebSiteLinkOpensTheAddress) {
  HWND dialog = open();
  ASSERT_NE(dialog, nullptr);
  check_click(pid, dialog, IDC_WEB_SITE_LINK, KRELVON_MAKER_WEB_SITE);
}

// --- Start-up and the main dialog ------------------------------------------

class StartUpTest : public GuiTest {};

// Runs a program that must end by itself at once; true when it did, and no
// window of it ever showed while it ran.
::testing::AssertionResult ends_without_window(Program& program) {
  bool window = false;
  const bool ended = wait_for(
      [&] {
        window = window || !top_level_windows(program.pid()).empty();
        return !program.running();
      },
      10000);
  if (!ended) return ::testing::AssertionFailure() << "still running after 10 s";
  if (window) return ::testing::AssertionFailure() << "a window showed";
  return ::testing::AssertionSuccess();
}

TEST_F(StartUpTest, SecondStartEndsAtOnceWithoutAWindow) {
  KRELVON_REQUIRE_PROGRAM();
  Program* first = nullptr;
  HWND main = start_krelvon(&first);
  ASSERT_NE(main, nullptr);
  Program& second = start(krelvon_command());
  EXPECT_TRUE(ends_without_window(second));
  EXPECT_EQ(second.exit_code(), 0u);
  // The first instance goes on, unchanged and not brought to the front.
  EXPECT_TRUE(first->running());
  EXPECT_EQ(top_level_windows(first->pid()), std::vector<HWND>{main});
}

LRESULT CALLBACK plain_window(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return DefWindowProcA(window, message, wparam, lparam);
}

TEST_F(StartUpTest, AnyWindowWithTheProgramTitleBlocksStartUp) {
  KRELVON_REQUIRE_PROGRAM();
  // A window of another program and class, not even visible.
  WNDCLASSA cls{};
  cls.lpfnWndProc = &plain_window;
  cls.hInstance = GetModuleHandleA(nullptr);
  cls.lpszClassName = "KrelvonTestStandIn";
  RegisterClassA(&cls);
  HWND stand_in = CreateWindowExA(0, cls.lpszClassName, kTitle, WS_POPUP, 0, 0, 10, 10, nullptr,
                                  nullptr, cls.hInstance, nullptr);
  ASSERT_NE(stand_in, nullptr);
  Program& program = start(krelvon_command());
  EXPECT_TRUE(ends_without_window(program));
  DestroyWindow(stand_in);
  // A title that only begins the same does not count.
  HWND similar = CreateWindowExA(0, cls.lpszClassName, "Krelvon Ver 1.6 ", WS_POPUP, 0, 0, 10, 10,
                                 nullptr, nullptr, cls.hInstance, nullptr);
  Program& again = start(krelvon_command());
  EXPECT_NE(wait_for_window(again.pid(), kTitle), nullptr);
  DestroyWindow(similar);
}

class MainDialogTest : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    if (!krelvon_built()) GTEST_SKIP() << "krelvon.exe is not built: " << krelvon_exe();
    main = start_krelvon(&program);
  }
  Program* program = nullptr;
  HWND main = nullptr;
};

TEST_F(MainDialogTest, ShowsItsTextsExactly) {
  ASSERT_NE(main, nullptr);
  screenshot(main, "main");
  EXPECT_EQ(text(main), kTitle);
  EXPECT_EQ(item_text(main, IDC_DESCRIPTION),
            "Krelvon Ver 1.6 - Program to detect and clean W32/BugBear.Worm and its variants");
  EXPECT_EQ(item_text(main, IDC_QUESTION),
            "Scan the computer for the presence of W32/BugBear.Worm and its variants now?");
  EXPECT_EQ(item_text(main, IDC_DOWNLOAD_LINK), KRELVON_MAKER_DOWNLOAD_PAGE);
  EXPECT_EQ(item_text(main, IDOK), "OK");
  EXPECT_EQ(item_text(main, IDCANCEL), "Cancel");
  // The two statics without an identifier, in template order.
  const auto all = children(main);
  ASSERT_EQ(all.size(), 7u);
  EXPECT_EQ(text(all[3]),
            "This program is a part of Corvane Anti-virus Software.\n\n"
            "Corvane Anti-virus Software is available for\n"
            "Windows 95/98/Me, Windows NT/2000/XP and  NetWare.");
  EXPECT_EQ(text(all[4]), "You can download 30 days evaluation copy of Corvane\nFREE of cost from;");
}

TEST_F(MainDialogTest, TemplateLayoutAndFrame) {
  ASSERT_NE(main, nullptr);
  expect_frame(main);
  EXPECT_NE(ex_style(main) & WS_EX_APPWINDOW, 0) << "not shown in the task bar";
  expect_layout(main, {320, 165},
                {{IDOK, 83, 139, 50, 14},
                 {IDCANCEL, 166, 139, 50, 14},
                 {IDC_DESCRIPTION, 7, 7, 306, 8},
                 {IDC_DOWNLOAD_LINK, 7, 92, 306, 14},
                 {IDC_QUESTION, 7, 111, 306, 11}});
  const auto all = children(main);
  ASSERT_EQ(all.size(), 7u);
  const struct {
    HWND control;
    RECT want;
  } unnamed[] = {{all[3], dialog_units(7, 15, 306, 53)}, {all[4], dialog_units(7, 73, 306, 19)}};
  for (const auto& u : unnamed) {
    RECT got{};
    GetWindowRect(u.control, &got);
    MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&got), 2);
    EXPECT_TRUE(EqualRect(&got, &u.want)) << text(u.control);
    EXPECT_EQ(style(u.control) & SS_TYPEMASK, SS_CENTER);
  }
  for (int id : {IDC_DESCRIPTION, IDC_QUESTION, IDC_DOWNLOAD_LINK})
    EXPECT_EQ(style(GetDlgItem(main, id)) & SS_TYPEMASK, SS_CENTER) << id;
  EXPECT_NE(style(GetDlgItem(main, IDC_DOWNLOAD_LINK)) & SS_CENTERIMAGE, 0);
  EXPECT_EQ(style(GetDlgItem(main, IDOK)) & 0x0F, BS_DEFPUSHBUTTON);
  EXPECT_EQ(style(GetDlgItem(main, IDCANCEL)) & 0x0F, BS_PUSHBUTTON);
}

// Cancel ends the program; no other dialog appears on the way.
void expect_ends_alone(Program& program, HWND main) {
  bool other = false;
  EXPECT_TRUE(wait_for(
      [&] {
        for (HWND w : top_level_windows(program.pid())) other = other || w != main;
        return !program.running();
      },
      10000))
      << "still running";
  EXPECT_FALSE(other) << "another window showed";
}

TEST_F(MainDialogTest, CancelEndsTheProgramWithoutTheClosingDialog) {
  ASSERT_NE(main, nullptr);
  click(main, IDCANCEL);
  expect_ends_alone(*program, main);
}

TEST_F(MainDialogTest, EscapeEndsTheProgramWithoutTheClosingDialog) {
  ASSERT_NE(main, nullptr);
  // The focus is on the default button; the dialog manager turns Esc into
  // Cancel.
  HWND ok = GetDlgItem(main, IDOK);
  PostMessageA(ok, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
  PostMessageA(ok, WM_KEYUP, VK_ESCAPE, static_cast<LPARAM>(0xC0010001u));
  expect_ends_alone(*program, main);
}

TEST_F(MainDialogTest, DownloadLinkHoverAndTooltip) {
  ASSERT_NE(main, nullptr);
  check_hover(program->pid(), main, IDC_DOWNLOAD_LINK, KRELVON_MAKER_DOWNLOAD_PAGE);
}

TEST_F(MainDialogTest, DownloadLinkOpensTheAddress) {
  ASSERT_NE(main, nullptr);
  check_click(program->pid(), main, IDC_DOWNLOAD_LINK, KRELVON_MAKER_DOWNLOAD_PAGE);
}

// OK leads into the scan options dialog, with the main dialog disabled
// behind it; its Cancel shows the closing dialog, and the closing dialog's
// OK ends the program.
TEST_F(MainDialogTest, OkThenOptionsCancelShowsTheClosingDialogThenEnds) {
  ASSERT_NE(main, nullptr);
  click(main, IDOK);
  HWND options = wait_for_new_window(program->pid(), kTitle, main);
  ASSERT_NE(options, nullptr) << "no scan options dialog";
  EXPECT_NE(GetDlgItem(options, IDC_FOLDER_TREE), nullptr) << "not the scan options dialog";
  EXPECT_FALSE(IsWindowEnabled(main)) << "main dialog not disabled behind it";
  EXPECT_TRUE(IsWindowVisible(main));
  EXPECT_EQ(GetWindow(options, GW_OWNER), main);
  screenshot(options, "options");
  click(options, IDCANCEL);
  ASSERT_TRUE(wait_until_gone(options));
  HWND closing = wait_for_new_window(program->pid(), kTitle, main);
  ASSERT_NE(closing, nullptr) << "no closing dialog";
  screenshot(closing, "closing");
  EXPECT_EQ(item_text(closing, IDC_THANK_YOU),
            "Thank you for using the Krelvon program. You can protect your computer");
  EXPECT_EQ(item_text(closing, IDC_WEB_SITE_LINK), KRELVON_MAKER_WEB_SITE);
  // The main dialog stays disabled behind it, so no second run can start.
  EXPECT_FALSE(IsWindowEnabled(main));
  EXPECT_EQ(GetWindow(closing, GW_OWNER), main);
  click(closing, IDOK);
  EXPECT_TRUE(program->wait_exit(10000)) << "the program goes on after the closing dialog";
  EXPECT_EQ(program->exit_code(), 0u);
}

// The whole run: OK, a scan of the C drive started and terminated, the
// progress dialog's OK, the closing dialog with the main dialog disabled
// behind it, and the end.
TEST_F(MainDialogTest, ScanRunsThroughProgressToTheClosingDialog) {
  ASSERT_NE(main, nullptr);
  click(main, IDOK);
  HWND options = wait_for_new_window(program->pid(), kTitle, main);
  ASSERT_NE(options, nullptr) << "no scan options dialog";
  click(options, IDC_SCOPE_C_DRIVE);
  ASSERT_TRUE(wait_for([&] {
    return SendMessageA(GetDlgItem(options, IDC_SCOPE_C_DRIVE), BM_GETCHECK, 0, 0) == BST_CHECKED;
  }));
  click(options, IDOK);
  HWND progress = nullptr;
  ASSERT_TRUE(wait_for([&] {
    for (HWND w : top_level_windows(program->pid()))
      if (w != main && w != options && text(w) == kTitle && GetDlgItem(w, IDC_PROGRESS_LIST))
        progress = w;
    return progress != nullptr;
  })) << "no progress dialog";
  // While the scan runs, nothing behind it can start a second one.
  EXPECT_FALSE(IsWindowEnabled(main));
  EXPECT_EQ(GetWindow(progress, GW_OWNER), main);
  // The whole drive would take minutes: the scan is terminated.
  click(progress, IDCANCEL);
  HWND question = wait_for_window(program->pid(), "Warning");
  ASSERT_NE(question, nullptr) << "no question";
  click(question, IDYES);
  ASSERT_TRUE(wait_for(
      [&] { return item_text(progress, IDC_PROGRESS_STATUS) == "Scanning terminated"; }, 60000))
      << "the scan did not end";
  EXPECT_NE(IsWindowVisible(GetDlgItem(progress, IDC_PROGRESS_OK)), FALSE);
  screenshot(progress, "progress");
  click(progress, IDC_PROGRESS_OK);
  HWND closing = nullptr;
  ASSERT_TRUE(wait_for([&] {
    for (HWND w : top_level_windows(program->pid()))
      if (text(w) == kTitle && GetDlgItem(w, IDC_WEB_SITE_LINK)) closing = w;
    return closing != nullptr;
  })) << "no closing dialog";
  EXPECT_FALSE(IsWindow(progress) && IsWindowVisible(progress));
  EXPECT_FALSE(IsWindowEnabled(main));
  EXPECT_EQ(GetWindow(closing, GW_OWNER), main);
  screenshot(closing, "closing");
  click(closing, IDOK);
  EXPECT_TRUE(program->wait_exit(10000)) << "the program goes on after the closing dialog";
}

// --- The program file ------------------------------------------------------

class ProgramFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!krelvon_built()) GTEST_SKIP() << "krelvon.exe is not built: " << krelvon_exe();
    module = LoadLibraryExA(krelvon_exe().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
  }
  void TearDown() override {
    if (module != nullptr) FreeLibrary(module);
  }
  HMODULE module = nullptr;
};

// The manifest asks for the common controls of version 6.
TEST_F(ProgramFileTest, ManifestAsksForCommonControlsSix) {
  HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
  ASSERT_NE(found, nullptr) << "no manifest";
  const auto* data = static_cast<const char*>(LockResource(LoadResource(module, found)));
  const std::string manifest(data, SizeofResource(module, found));
  EXPECT_NE(manifest.find("Microsoft.Windows.Common-Controls"), std::string::npos);
  EXPECT_NE(manifest.find("version=\"6.0.0.0\""), std::string::npos);
}

// Icon 128 holds a small and a large image; the version resource names
// the program and its version.
TEST_F(ProgramFileTest, IconAndVersion) {
  for (int size : {16, 32, 48}) {
    HICON icon = static_cast<HICON>(
        LoadImageA(module, MAKEINTRESOURCEA(IDI_PROGRAM), IMAGE_ICON, size, size, 0));
    ASSERT_NE(icon, nullptr) << size;
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP bitmap{};
    GetObjectA(info.hbmColor, sizeof bitmap, &bitmap);
    EXPECT_EQ(bitmap.bmWidth, size);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(icon);
  }
  const std::string exe = krelvon_exe();
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeA(exe.c_str(), &handle);
  ASSERT_GT(size, 0u);
  std::vector<char> block(size);
  ASSERT_TRUE(GetFileVersionInfoA(exe.c_str(), 0, size, block.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010006u);
  char* product = nullptr;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\StringFileInfo\\040904b0\\ProductName",
                             reinterpret_cast<void**>(&product), &length));
  EXPECT_STREQ(product, "Krelvon");
}

}  // namespace
}  // namespace krelvon::gui
