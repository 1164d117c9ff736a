#include "ui/shell/prompt_dialog.h"

#include <cstdint>
#include <cstdio>
#include <iterator>

#include "engine/ask_for_action.h"
#include "engine/scan_context.h"
#include "engine/walker.h"
#include "resources/resource.h"
#include "ui/shell/dialogs.h"

namespace krelvon::ui {

namespace {

// The action buttons in row order, each shown when its action is offered.
struct OfferedButton {
  PromptButton button;
  const std::int32_t ScanContext::*offered;
};
constexpr OfferedButton kActionButtons[] = {
    {{"Disinfect", kActionDisinfect}, &ScanContext::offered_disinfect},
    {{"Delete", kActionDelete}, &ScanContext::offered_delete},
    {{"Rename", kActionRename}, &ScanContext::offered_rename},
    {{"Ignore", kActionIgnore}, &ScanContext::offered_ignore},
};
constexpr PromptButton kOnlyButton{"Ignore", kActionIgnore};

}  // namespace

PromptDialog::PromptDialog(HWND owner, const char* detection_name, const char* object)
    : Dialog(IDD_PROMPT, owner), detection_name_(detection_name), object_(object) {}

BOOL PromptDialog::OnInitDialog() {
  SetWindowTextA(hwnd(), kProgramTitle);

  RECT outer;
  GetWindowRect(hwnd(), &outer);
  const int width = outer.right - outer.left;
  const int height = outer.bottom - outer.top;

  char shown[100];
  shorten_for_display(object_, shown, kDisplayLength);
  SetDlgItemTextA(hwnd(), IDC_PROMPT_OBJECT, shown);
  char name[kPathCapacity];
  std::snprintf(name, sizeof name, "%s", detection_name_);
  SetDlgItemTextA(hwnd(), IDC_PROMPT_NAME, name);

  std::array<PromptButton, std::size(kActionButtons)> row{};
  int n = 0;
  for (const OfferedButton& b : kActionButtons)
    if (g_scan.*b.offered) row[static_cast<std::size_t>(n++)] = b.button;
  if (n == 0) row[static_cast<std::size_t>(n++)] = kOnlyButton;

  const int top = height - kPromptButtonRowFromBottom;
  HFONT font = reinterpret_cast<HFONT>(SendMessageA(hwnd(), WM_GETFONT, 0, 0));
  for (int i = 0; i < n; ++i) {
    const PromptButton& b = row[static_cast<std::size_t>(i)];
    HWND button = CreateWindowExA(0, "Button", b.caption, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
                                  prompt_button_left(width, n, i), top, kPromptButtonWidth, kPromptButtonHeight,
                                  hwnd(), reinterpret_cast<HMENU>(static_cast<INT_PTR>(b.id)),
                                  GetModuleHandleA(nullptr), nullptr);
    // The dialog's own font, like the template's controls.
    if (button != nullptr) SendMessageA(button, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  }
  return TRUE;
}

bool PromptDialog::OnMessage(UINT message, WPARAM wparam, LPARAM /*lparam*/, LRESULT& result) {
  if (message != WM_COMMAND) return false;
  last_command_ = static_cast<int>(wparam);
  const bool ticked = SendDlgItemMessageA(hwnd(), IDC_PROMPT_APPLY_ALL, BM_GETCHECK, 0, 0) != 0;
  if (prompt_command(last_command_, ticked)) EndDialog(1);
  result = 0;
  return true;
}

void run_virus_found_prompt(const char* detection_name, const char* object) {
  PromptDialog dialog(g_scan.progress_window, detection_name, object);
  dialog.DoModal();
}

void install_virus_found_prompt() {
  FrontEnd surface = window_front_end();
  surface.ask = &run_virus_found_prompt;
  set_front_end(surface);
}

}  // namespace krelvon::ui
