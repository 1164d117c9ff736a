// The scan options dialog (template 136): what is scanned (all hard drives,
// the C drive, or the folder selected in the folder tree) and how a finding
// is handled (Prompt, or Automatic with one action). Scan writes the choices
// into the scan context and runs the progress dialog; Cancel writes nothing
// and runs the closing dialog.
#pragma once

#include <cstdint>

#include "engine/scan_context.h"
#include "ui/dialog.h"
#include "ui/setup/folder_tree.h"

namespace krelvon::ui {

class ScanOptionsDialog : public Dialog {
 public:
  // layout: the option defaults applied at initialisation.
  explicit ScanOptionsDialog(HWND owner, const OptionDefaults& layout = kOptionDefaults);

 protected:
  BOOL OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;
  bool OnCommand(WORD id, WORD code, HWND control) override;
  bool OnNotify(const NMHDR& header, LRESULT& result) override;
  bool OnMessage(UINT message, WPARAM wparam, LPARAM lparam, LRESULT& result) override;

 private:
  void apply_defaults();
  // Disables the tree, checks the scope buttons from the scope flags and
  // enables the tree when the scope is the selected folder.
  void sync_scope();
  void set_scope(std::int32_t all_drives, std::int32_t c_drive, std::int32_t selected);
  void enable_action_controls(bool enable);
  bool checked(int id) const;
  void set_check(int id, std::int32_t flag);
  void enable(int id, bool enable);

  const OptionDefaults& defaults_;
  // Scope flags: exactly one is 1 after initialisation.
  std::int32_t scope_all_drives_ = 0;
  std::int32_t scope_c_drive_ = 0;
  std::int32_t scope_selected_ = 0;
  FolderTree tree_;
};

}  // namespace krelvon::ui
