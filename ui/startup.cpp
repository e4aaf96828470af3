// The stub's start: the two window classes and windows, the archive opened and applied to the
// controls, then the message loop until the main window ends the program.
#include "ui/ui.h"
#include "ui/window_state.h"
#include "app/archive.h"
#include "app/texts.h"

// COLOR_MENU + 1: the background of both classes.
static HBRUSH const menu_background = reinterpret_cast<HBRUSH>(COLOR_MENU + 1);

static wchar_t message_buffer[max_message_text + 1];

static void apply_preamble() {
  wide_from_cp932(reinterpret_cast<const char*>(archive.message_text),
                  archive.message_text_length, message_buffer, max_message_text + 1);
  SetWindowTextW(ui.message_view, message_buffer);
  if (archive.password_masked) SendMessageW(ui.password_edit, EM_SETPASSWORDCHAR, '*', 0);
  if (!archive.password_flag) {
    ShowWindow(ui.password_edit, SW_HIDE);
    ShowWindow(ui.password_label, SW_HIDE);
  }
}

int stub_main() {
  HINSTANCE instance = ui.instance = GetModuleHandleW(nullptr);
  HICON icon = LoadIconW(instance, L"main_icon");
  HCURSOR arrow = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW

  WNDCLASSEXW main_class;
  main_class.cbSize = sizeof main_class;
  main_class.style = 0;
  main_class.lpfnWndProc = main_window_proc;
  main_class.cbClsExtra = 0;
  main_class.cbWndExtra = 0;
  main_class.hInstance = instance;
  main_class.hIcon = icon;
  main_class.hCursor = arrow;
  main_class.hbrBackground = menu_background;
  main_class.lpszMenuName = nullptr;
  main_class.lpszClassName = L"core_gui";
  main_class.hIconSm = icon;
  // Without its window class the program cannot run at all: a failure, not a normal end.
  if (!RegisterClassExW(&main_class)) return 1;
  CreateWindowExW(0, L"core_gui", wide_text(TEXT_TITLE),
                  WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT, CW_USEDEFAULT,
                  CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);

  WNDCLASSW progress_class;
  progress_class.style = 0;
  progress_class.lpfnWndProc = progress_window_proc;
  progress_class.cbClsExtra = 0;
  progress_class.cbWndExtra = 0;
  progress_class.hInstance = instance;
  progress_class.hIcon = icon;
  progress_class.hCursor = arrow;
  progress_class.hbrBackground = menu_background;
  progress_class.lpszMenuName = nullptr;
  progress_class.lpszClassName = L"progress_window";
  if (!RegisterClassW(&progress_class)) return 1;

  // Centred with 8 line heights although the window is 7 tall, as it always was.
  RECT desktop;
  GetWindowRect(GetDesktopWindow(), &desktop);
  const int cw = ui.char_width, lh = ui.line_height;
  ui.progress = CreateWindowExW(0, L"progress_window", wide_text(TEXT_PROGRESS_CAPTION),
                                WS_CAPTION, (desktop.right - 70 * cw) / 2,
                                (desktop.bottom - 8 * lh) / 2, 70 * cw, 7 * lh, ui.main,
                                nullptr, instance, nullptr);

  if (open_archive() == no_payload)
    EnableWindow(ui.extract_button, FALSE);
  else
    apply_preamble();

  ShowWindow(ui.main, SW_SHOW);
  UpdateWindow(ui.main);

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return static_cast<int>(message.wParam);
}
