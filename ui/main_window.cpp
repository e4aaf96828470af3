// The main window: the controls laid out from the system font's units, the password and
// destination checks, the one extraction run, its reports and the program opened afterwards.
#include "ui/window_state.h"
#include <shellapi.h>
#include "app/archive.h"
#include "app/stub_edge.h"
#include "app/texts.h"
#include "engine/edge.h"
#include "engine/member_loop.h"
#include "fs/paths.h"

enum : int {
  id_message_view = 1, id_password_edit = 2, id_extract_button = 3, id_message_label = 4,
  id_password_label = 5, id_folder_label = 6, id_folder_edit = 7, id_browse_button = 8,
};
constexpr DWORD child_style = WS_CHILD | WS_VISIBLE;
constexpr DWORD field_style = WS_CHILD | WS_VISIBLE | WS_BORDER | ES_AUTOHSCROLL;

static HWND make_label(HDC dc, const char* text, int id, int top) {
  SIZE size = measure_text(dc, text);
  return make_control(ui.main, L"static", wide_text(text), child_style, id, 1, top, size.cx,
                      size.cy);
}

static void create_controls(HWND window) {
  ui.main = window;
  main_window = window;
  HDC dc = GetDC(window);
  SelectObject(dc, GetStockObject(SYSTEM_FONT));
  TEXTMETRICW metrics;
  GetTextMetricsW(dc, &metrics);
  const int cw = ui.char_width = metrics.tmAveCharWidth;
  const int lh = ui.line_height = metrics.tmHeight + metrics.tmExternalLeading;

  WINDOWPLACEMENT placement;
  placement.length = sizeof placement;
  placement.flags = 0;
  GetWindowPlacement(window, &placement);
  MoveWindow(window, placement.rcNormalPosition.left, placement.rcNormalPosition.top, 70 * cw,
             20 * lh, TRUE);

  make_label(dc, TEXT_MESSAGE_LABEL, id_message_label, 1);
  ui.password_label = make_label(dc, TEXT_PASSWORD_LABEL, id_password_label, 16 * lh);
  make_label(dc, TEXT_FOLDER_LABEL, id_folder_label, 13 * lh);

  // One size for both buttons, large enough for either caption whatever the font.
  SIZE extract = measure_text(dc, TEXT_EXTRACT);
  SIZE browse = measure_text(dc, TEXT_BROWSE);
  const int bw = (extract.cx > browse.cx ? extract.cx : browse.cx) + cw;
  const int bh = 3 * (extract.cy > browse.cy ? extract.cy : browse.cy) / 2;
  ui.extract_button = make_control(window, L"button", wide_text(TEXT_EXTRACT), child_style,
                                   id_extract_button, 60 * cw, 17 * lh - lh / 4, bw, bh);
  ui.browse_button = make_control(window, L"button", wide_text(TEXT_BROWSE), child_style,
                                  id_browse_button, 60 * cw, 14 * lh - lh / 4, bw, bh);
  ReleaseDC(window, dc);

  ui.message_view = make_control(window, L"edit", nullptr,
                                 WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | ES_READONLY |
                                     ES_MULTILINE,
                                 id_message_view, cw - 2, 3 * lh / 2 - 2, 67 * cw, 11 * lh);
  ui.password_edit = make_control(window, L"edit", nullptr, field_style, id_password_edit,
                                  cw - 2, 17 * lh, 57 * cw + 4, lh);

  // The program's own folder, taken from the module path itself (the command line may hold
  // the path in another form: relative, short, quoted). A drive root keeps its backslash.
  wchar_t* folder = ui.chosen_folder;
  int n = GetModuleFileNameW(nullptr, folder, max_wide_path - 1);
  while (n > 0 && folder[n - 1] != L'\\') --n;
  if (n > 3) --n;
  folder[n] = 0;
  ui.folder_edit = make_control(window, L"edit", folder, field_style, id_folder_edit, cw - 2,
                                14 * lh, 57 * cw + 4, lh);
}

// The typed password as CP932 bytes. A text with a character that code page 932 cannot hold,
// an empty one or a too long one can never be the archive's password.
static bool password_accepted() {
  static wchar_t typed[max_password + 1];
  static uint8_t bytes[max_password];
  if (GetWindowTextLengthW(ui.password_edit) > max_password) return false;
  int n = GetWindowTextW(ui.password_edit, typed, max_password + 1);
  BOOL lossy = FALSE;
  int length = n > 0 ? WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, typed, n,
                                           reinterpret_cast<char*>(bytes), max_password,
                                           nullptr, &lossy)
                     : 0;
  if (length <= 0 || lossy || !password_matches(bytes, length)) return false;
  set_archive_password(bytes, length);
  return true;
}

// Reads and checks folder_edit into destination_path, offering to create a missing folder.
static bool destination_ready() {
  static wchar_t typed[max_path_bytes / 2];
  static char text[max_path_bytes];
  char* failed = text;  // reused once the text has been normalised
  int n = GetWindowTextLengthW(ui.folder_edit);
  if (n < max_path_bytes / 2) {
    n = GetWindowTextW(ui.folder_edit, typed, max_path_bytes / 2);
    int length = WideCharToMultiByte(CP_UTF8, 0, typed, n, text, max_path_bytes - 1, nullptr,
                                     nullptr);
    text[length] = 0;
    // A path too long to convert must not turn into the empty text, the current folder.
    if ((length > 0 || n == 0) && with_trailing_separator(text, ui.destination_path) >= 0) {
      switch (classify_folder(ui.destination_path)) {
        case folder_present:
          return true;
        case folder_missing:
          if (show_message(main_window, TEXT_CREATE_FOLDER, mb_yesno | mb_iconquestion) !=
              id_yes)
            return false;
          if (make_folder_chain(ui.destination_path, "", failed) == 0) return true;
          break;
        default:
          break;
      }
    }
  }
  show_message(main_window, TEXT_CANNOT_MAKE_FOLDER, mb_iconerror);
  return false;
}

static void open_run_after() {
  static char name[max_run_after * 3 + 1];
  static wchar_t wide[max_path_bytes];
  if (platform_cp932_to_utf8(archive.run_after, archive.run_after_length, name, sizeof name) < 0)
    name[0] = 0;
  // A relative name is looked up in the destination.
  MultiByteToWideChar(CP_UTF8, 0, ui.destination_path, -1, wide, max_path_bytes);
  SetCurrentDirectoryW(wide);
  MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, max_path_bytes);
  if (reinterpret_cast<intptr_t>(
          ShellExecuteW(nullptr, nullptr, wide, nullptr, nullptr, SW_SHOWNORMAL)) <= 32)
    show_message_with(main_window, TEXT_CANNOT_RUN, name, true, mb_iconerror);
}

static void extract_command() {
  if (archive.password_flag && !password_accepted()) {
    show_message(main_window, TEXT_WRONG_PASSWORD, mb_iconwarning);
    SetFocus(ui.password_edit);
    return;
  }
  if (!destination_ready()) return;

  ShowWindow(ui.progress, SW_SHOW);
  UpdateWindow(ui.progress);
  EnableWindow(ui.main, FALSE);
  ui.running = true;
  extract_archive(ui.destination_path);
  ui.running = false;
  ShowWindow(ui.progress, SW_HIDE);

  if (cancel_requested) {
    show_message(main_window, TEXT_STOPPED, mb_iconinformation);
  } else {
    show_message(main_window, TEXT_FINISHED, mb_iconinformation);
    if (archive.run_after_length > 0) open_run_after();
  }
  // One run per process: the window's end posts the quit message with 0.
  PostMessageW(ui.main, WM_DESTROY, 0, 0);
}

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CREATE:
      create_controls(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_CLOSE:
      // Destroying the window under a running engine would leave it writing for nobody;
      // during a run, closing asks it to stop like the progress window's cancel button.
      if (!ui.running) break;
      cancel_requested = 1;
      return 0;
    case WM_COMMAND:
      if (HIWORD(wparam) != BN_CLICKED) break;
      if (reinterpret_cast<HWND>(lparam) == ui.extract_button) {
        extract_command();
        return 0;
      }
      if (reinterpret_cast<HWND>(lparam) == ui.browse_button) {
        choose_destination_folder();
        return 0;
      }
      break;
    case WM_CTLCOLORSTATIC:
      if (reinterpret_cast<HWND>(lparam) == ui.message_view)
        return reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH));
      break;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}
