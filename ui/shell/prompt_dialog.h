// The virus-found prompt: shows the object and the detection name and offers
// one push button per offered action, in a row laid out at run time; a check
// box applies the choice to the rest of the scan. Every command it receives
// goes to the engine's prompt_command.
#pragma once

#include <array>

#include "ui/dialog.h"

namespace krelvon::ui {

// One action button of the row: caption and control identifier (the
// action code).
struct PromptButton {
  const char* caption;
  int id;
};

// The row's geometry in pixels of the prompt's client area.
inline constexpr int kPromptButtonWidth = 80;
inline constexpr int kPromptButtonHeight = 25;
inline constexpr int kPromptButtonPitch = 100;
inline constexpr int kPromptButtonMargin = 20;
inline constexpr int kPromptButtonRowFromBottom = 78;

// Left edge of button i of an n-button row in a prompt whose outer window
// is `window_width` pixels wide.
constexpr int prompt_button_left(int window_width, int n, int i) {
  return (window_width - kPromptButtonPitch * n - 2 * kPromptButtonMargin) / 2 + kPromptButtonMargin +
         kPromptButtonPitch * i;
}

class PromptDialog : public Dialog {
 public:
  PromptDialog(HWND owner, const char* detection_name, const char* object);

 protected:
  BOOL OnInitDialog() override;
  bool OnMessage(UINT message, WPARAM wparam, LPARAM lparam, LRESULT& result) override;

 private:
  const char* detection_name_;
  const char* object_;
  int last_command_ = 0;
};

// Runs the prompt modally over the progress window.
void run_virus_found_prompt(const char* detection_name, const char* object);

}  // namespace krelvon::ui
