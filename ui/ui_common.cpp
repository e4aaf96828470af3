// Helpers that both windows use: our texts as UTF-16, child controls, text extents.
#include "ui/window_state.h"

window_state ui;

static wchar_t short_text[128];

int wide_from_cp932(const char* cp932, int length, wchar_t* out, int capacity) {
  int n = length > 0 ? MultiByteToWideChar(932, 0, cp932, length, out, capacity - 1) : 0;
  out[n] = 0;
  return n;
}

const wchar_t* wide_text(const char* cp932) {
  wide_from_cp932(cp932, lstrlenA(cp932), short_text, 128);
  return short_text;
}

HWND make_control(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int id,
                  int x, int y, int width, int height) {
  return CreateWindowExW(0, cls, text, style, x, y, width, height, parent,
                         reinterpret_cast<HMENU>(static_cast<intptr_t>(id)), ui.instance,
                         nullptr);
}

SIZE measure_text(HDC dc, const char* cp932) {
  const wchar_t* text = wide_text(cp932);
  SIZE size;
  GetTextExtentPoint32W(dc, text, lstrlenW(text), &size);
  return size;
}
