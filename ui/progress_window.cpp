// The progress window: one status line that the member loop writes, and a cancel button that
// only raises the flag the engine watches.
#include "ui/window_state.h"
#include "app/texts.h"
#include "engine/edge.h"
#include "platform/platform_win32.h"

LRESULT CALLBACK progress_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CREATE: {
      const int cw = ui.char_width, lh = ui.line_height;
      HDC dc = GetDC(window);
      platform_win32_set_status_window(make_control(window, L"static", nullptr,
                                                    WS_CHILD | WS_VISIBLE, 1, 2, lh, 70 * cw,
                                                    lh));
      SIZE size = measure_text(dc, TEXT_CANCEL);
      ui.cancel_button = make_control(window, L"button", wide_text(TEXT_CANCEL),
                                      WS_CHILD | WS_VISIBLE, 2, 30 * cw, 3 * lh,
                                      size.cx + cw, 3 * size.cy / 2);
      ReleaseDC(window, dc);
      return 0;
    }
    case WM_COMMAND:
      if (reinterpret_cast<HWND>(lparam) != ui.cancel_button || HIWORD(wparam) != BN_CLICKED)
        break;
      cancel_requested = 1;
      return 0;
    case WM_CLOSE:
      // Alt+F4 during a run: the window must stay (the engine still writes its status line),
      // so a close request is taken as a click on the cancel button.
      cancel_requested = 1;
      return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}
