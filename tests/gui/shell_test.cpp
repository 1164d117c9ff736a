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

}  // namespace
}  // namespace krelvon::gui
