// The progress dialog: runs the scan driver from its scan-start timer and
// shows what the engine reports through the two notifications of the scan
// context, the status line (object notification) and the result list (line
// notification).
#pragma once

#include "ui/dialog.h"

namespace krelvon::ui {

// The scan-start timer: one tick, shortly after the dialog appears.
inline constexpr UINT_PTR kScanStartTimer = 100;
inline constexpr UINT kScanStartPeriod = 100;

// While the scan is still running, the result list holds at most this many
// lines: the next one empties it first. The statistics block is never cut.
inline constexpr LRESULT kResultListLimit = 150;

// Width in pixels over which the result list scrolls sideways.
inline constexpr WPARAM kResultListExtent = 650;

class ProgressDialog : public Dialog {
 public:
  explicit ProgressDialog(HWND owner);

 protected:
  BOOL OnInitDialog() override;
  void OnCancel() override;
  bool OnCommand(WORD id, WORD code, HWND control) override;
  bool OnMessage(UINT message, WPARAM wparam, LPARAM lparam, LRESULT& result) override;

 private:
  void OnTimer();
  void OnLineAdded();
  void OnObject();
  // Cancel gives way to OK; the keyboard focus moves with it, so that it
  // never stays on the hidden button.
  void ShowOk();

  bool scan_started_ = false;
  // A Cancel confirmed before the first tick: the scan then ends at once.
  bool cancel_confirmed_ = false;
};

}  // namespace krelvon::ui
