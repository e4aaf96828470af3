// The window state of the stub: the two windows, their controls, the layout units and the
// folders the main window works with. One record for the whole process; zero at start (it
// lives in static storage, so no constructor is needed).
#pragma once
#include <windows.h>
#include <stdint.h>
#include "fs/paths.h"

// Room for a module path in wide characters; longer ones are cut by the system.
constexpr int max_wide_path = 1024;

struct window_state {
  HINSTANCE instance;
  HWND main;
  HWND extract_button, browse_button, message_view, password_edit, password_label, folder_edit;
  HWND progress, cancel_button;
  int32_t char_width, line_height;
  // True while extract_archive runs: a close request then means "stop", not "go away".
  bool running;
  // The folder offered at start and preselected by the chooser; never ends in '\' except
  // for a drive root.
  wchar_t chosen_folder[max_wide_path];
  // UTF-8, always ending in '\'; the argument of extract_archive.
  char destination_path[max_path_bytes];
};
extern window_state ui;

// Shared by both window procedures.
LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT CALLBACK progress_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
void choose_destination_folder();

// One of the program's own texts (CP932 bytes, zero-terminated) as UTF-16, in a buffer shared
// by every short text: valid until the next call. The conversion is the system's own for
// code page 932, so Japanese shows correctly whatever the ANSI code page is.
const wchar_t* wide_text(const char* cp932);
// The same into a caller's buffer for long texts; returns the length without the zero.
int wide_from_cp932(const char* cp932, int length, wchar_t* out, int capacity);

// A child control of ours: no extended style, the program's own module as instance.
HWND make_control(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int id,
                  int x, int y, int width, int height);
// The extent of one of our texts on a device context that has the system font selected.
SIZE measure_text(HDC dc, const char* cp932);
