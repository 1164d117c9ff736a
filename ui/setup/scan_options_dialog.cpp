#include "ui/setup/scan_options_dialog.h"

#include "resources/resource.h"
#include "ui/shell/dialogs.h"

namespace krelvon::ui {

namespace {

// The action controls, in the order they are enabled and disabled.
constexpr int kActionControls[] = {IDC_ACTION_GROUP, IDC_ACTION_DISINFECT, IDC_ACTION_DELETE,
                                   IDC_ACTION_RENAME, IDC_ACTION_IGNORE};

}  // namespace

ScanOptionsDialog::ScanOptionsDialog(HWND owner, const OptionDefaults& layout)
    : Dialog(IDD_SCAN_OPTIONS, owner), defaults_(layout) {}

bool ScanOptionsDialog::checked(int id) const {
  return SendMessageA(item(id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void ScanOptionsDialog::set_check(int id, std::int32_t flag) {
  SendMessageA(item(id), BM_SETCHECK, flag != 0 ? BST_CHECKED : BST_UNCHECKED, 0);
}

void ScanOptionsDialog::enable(int id, bool enable) {
  if (HWND control = item(id)) EnableWindow(control, enable ? TRUE : FALSE);
}

void ScanOptionsDialog::set_scope(std::int32_t all_drives, std::int32_t c_drive, std::int32_t selected) {
  scope_all_drives_ = all_drives;
  scope_c_drive_ = c_drive;
  scope_selected_ = selected;
}

void ScanOptionsDialog::apply_defaults() {
  switch (defaults_.scope) {
    case kScopeAllDrives: set_scope(1, 0, 0); break;
    case kScopeCDrive: set_scope(0, 1, 0); break;
    case kScopeSelected: set_scope(0, 0, 1); break;
    default: break;
  }
  switch (defaults_.handling) {
    case kHandlingPrompt:
      g_scan.handling_prompt = 1;
      g_scan.handling_automatic = 0;
      break;
    case kHandlingAutomatic:
      g_scan.handling_prompt = 0;
      g_scan.handling_automatic = 1;
      break;
    default: break;
  }
  const std::int32_t action = defaults_.automatic_action;
  if (action >= kAutoIgnore && action <= kAutoDisinfect) {
    g_scan.action_disinfect = action == kAutoDisinfect ? 1 : 0;
    g_scan.action_delete = action == kAutoDelete ? 1 : 0;
    g_scan.action_rename = action == kAutoRename ? 1 : 0;
    g_scan.action_ignore = action == kAutoIgnore ? 1 : 0;
  }
  if (defaults_.disinfect_visibility == kDisinfectHidden) ShowWindow(item(IDC_ACTION_DISINFECT), SW_HIDE);
  g_scan.offered_disinfect = defaults_.disinfect_offered != 0 ? 1 : 0;
  g_scan.offered_delete = defaults_.delete_offered != 0 ? 1 : 0;
  g_scan.offered_rename = defaults_.rename_offered != 0 ? 1 : 0;
  g_scan.offered_ignore = defaults_.ignore_offered != 0 ? 1 : 0;
}

void ScanOptionsDialog::sync_scope() {
  enable(IDC_FOLDER_TREE, false);
  set_check(IDC_SCOPE_ALL_DRIVES, scope_all_drives_);
  set_check(IDC_SCOPE_C_DRIVE, scope_c_drive_);
  set_check(IDC_SCOPE_SELECTED, scope_selected_);
  if (scope_selected_ != 0) enable(IDC_FOLDER_TREE, true);
}

void ScanOptionsDialog::enable_action_controls(bool on) {
  for (const int id : kActionControls) enable(id, on);
}

BOOL ScanOptionsDialog::OnInitDialog() {
  SetWindowTextA(hwnd(), kProgramTitle);
  apply_defaults();
  sync_scope();
  if (g_scan.handling_prompt != 0) {
    set_check(IDC_HANDLING_PROMPT, 1);
    enable_action_controls(false);
  } else {
    set_check(IDC_HANDLING_PROMPT, 0);
  }
  set_check(IDC_HANDLING_AUTOMATIC, g_scan.handling_automatic);
  set_check(IDC_ACTION_DISINFECT, g_scan.action_disinfect);
  set_check(IDC_ACTION_DELETE, g_scan.action_delete);
  set_check(IDC_ACTION_RENAME, g_scan.action_rename);
  set_check(IDC_ACTION_IGNORE, g_scan.action_ignore);
  // Without an image list, the shell or the top level the tree stays empty;
  // every choice above stands.
  return tree_.create(item(IDC_FOLDER_TREE)) ? TRUE : FALSE;
}

void ScanOptionsDialog::OnOK() {
  EndDialog(IDOK);
  // The window and its controls stay readable until this handler returns.
  g_scan.handling_prompt = checked(IDC_HANDLING_PROMPT) ? 1 : 0;
  g_scan.handling_automatic = checked(IDC_HANDLING_AUTOMATIC) ? 1 : 0;
  g_scan.action_disinfect = checked(IDC_ACTION_DISINFECT) ? 1 : 0;
  g_scan.action_delete = checked(IDC_ACTION_DELETE) ? 1 : 0;
  g_scan.action_rename = checked(IDC_ACTION_RENAME) ? 1 : 0;
  g_scan.action_ignore = checked(IDC_ACTION_IGNORE) ? 1 : 0;
  if (scope_all_drives_ != 0) {
    copy_text(g_scan.scan_path, kAllDrives);
  } else if (scope_c_drive_ != 0) {
    copy_text(g_scan.scan_path, "C:");
  } else if (scope_selected_ != 0) {
    // No usable folder leaves the scan path empty.
    tree_.selected_path(g_scan.scan_path, kPathCapacity);
  } else {
    return;
  }
  run_progress_dialog(hwnd());
}

void ScanOptionsDialog::OnCancel() {
  EndDialog(IDCANCEL);
  run_closing_dialog(hwnd());
}

bool ScanOptionsDialog::OnCommand(WORD id, WORD code, HWND /*control*/) {
  if (code != BN_CLICKED) return false;
  switch (id) {
    case IDC_SCOPE_ALL_DRIVES:
    case IDC_SCOPE_C_DRIVE:
    case IDC_SCOPE_SELECTED:
      set_scope(id == IDC_SCOPE_ALL_DRIVES, id == IDC_SCOPE_C_DRIVE, id == IDC_SCOPE_SELECTED);
      sync_scope();
      enable(IDC_FOLDER_TREE, id == IDC_SCOPE_SELECTED);
      return true;
    case IDC_HANDLING_PROMPT:
      enable_action_controls(false);
      return true;
    case IDC_HANDLING_AUTOMATIC:
      enable_action_controls(true);
      return true;
    default:
      return false;
  }
}

bool ScanOptionsDialog::OnNotify(const NMHDR& header, LRESULT& result) {
  if (header.idFrom != IDC_FOLDER_TREE) return false;
  // Only the item handles, states and item data are read, which both
  // character sets lay out alike.
  const auto& change = reinterpret_cast<const NMTREEVIEWA&>(header);
  switch (header.code) {
    case TVN_ITEMEXPANDINGA:
    case TVN_ITEMEXPANDINGW:
      tree_.on_item_expanding(change);
      result = 0;
      return true;
    case TVN_DELETEITEMA:
    case TVN_DELETEITEMW:
      tree_.on_delete_item(change);
      result = 0;
      return true;
    default:
      return false;
  }
}

bool ScanOptionsDialog::OnMessage(UINT message, WPARAM /*wparam*/, LPARAM /*lparam*/, LRESULT& /*result*/) {
  // The tree's items are deleted while the dialog can still hear their
  // notifications; then the image list, the lister and the allocator go.
  if (message == WM_DESTROY) tree_.destroy();
  return false;
}

void run_scan_options_dialog(HWND owner) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_TREEVIEW_CLASSES};
  InitCommonControlsEx(&controls);
  ScanOptionsDialog dialog(owner);
  dialog.DoModal();
}

}  // namespace krelvon::ui
