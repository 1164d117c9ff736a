// The main dialog: what the program is for, the link to the maker's
// download page and the question whether to scan now. Its OK runs the scan
// options dialog, and with it the rest of the run.
#pragma once

#include "ui/dialog.h"
#include "ui/shell/hyperlink.h"

namespace krelvon::ui {

class MainDialog : public Dialog {
 public:
  MainDialog();

 protected:
  BOOL OnInitDialog() override;
  void OnOK() override;
  bool OnMessage(UINT message, WPARAM wparam, LPARAM lparam, LRESULT& result) override;

 private:
  // Draws the program icon in the middle of the client area while the
  // window is minimised; false when it is not.
  bool paint_minimised();

  Hyperlink download_link_;
  HICON icon_;
  HICON small_icon_;
};

}  // namespace krelvon::ui
