// The modal progress window: its dialog procedure and the window operations over its handle.
#pragma once

#include <windows.h>

#include "resources/resource_ids.h"
#include "workflow/progress_view.h"

namespace vm {

constexpr int kProgressDialogId = IDD_PROGRESS_WINDOW;
constexpr int kStatusControlId = IDC_STATUS_TEXT;
constexpr int kProgressBarId = IDC_PROGRESS_BAR;

// The dialog procedure: starts the install worker when the window is first shown and ends the
// dialog on IDOK/IDCANCEL (the close command arrives as IDCANCEL).
INT_PTR CALLBACK progressWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Lets the next progress window start a worker of its own (the field profile's Retry).
void allowAnotherWorker();

// The window operations as synchronous messages to the window and its two controls.
class Win32ProgressView final : public ProgressView {
 public:
  explicit Win32ProgressView(HWND window) : window_(window) {}
  void setStatus(const char16_t* text) override;
  void setMarquee(bool on) override;
  void setPosition(int32_t position) override;
  void close() override;

 private:
  HWND window_;
};

}  // namespace vm
