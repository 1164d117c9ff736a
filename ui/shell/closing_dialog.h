// The closing dialog: the last dialog of a run. It thanks the user and
// links to the maker's web site.
#pragma once

#include "ui/dialog.h"
#include "ui/shell/hyperlink.h"

namespace krelvon::ui {

class ClosingDialog : public Dialog {
 public:
  explicit ClosingDialog(HWND owner);

 protected:
  BOOL OnInitDialog() override;

 private:
  Hyperlink web_site_link_;
};

}  // namespace krelvon::ui
