// Drives a self-extracting archive through its windows as a person would, under Wine (or
// Windows): starts it, waits for its windows, types into fields, clicks buttons, reads and
// answers every message box, and checks what it sees and the exit code.
//
//   vantrel_ui_driver SCRIPT
//
// The script is UTF-8, one command a line; '#' starts a comment line. Texts are the rest of
// the line after the fixed arguments; in them "{CRLF}" stands for a line break.
//
//   start EXE                        start EXE (a Windows path), working folder = its folder
//   start_as COMMAND EXE             the same with COMMAND (one word) as the whole command
//                                    line, e.g. a relative name
//   window                           wait for the main window (class core_gui)
//   expect_title TEXT                the main window's caption
//   expect_text CONTROL TEXT         a control's text (CONTROL: a name below or a number)
//   expect_visible CONTROL yes|no
//   expect_enabled CONTROL yes|no
//   expect_password_char CONTROL C   C: the masking character, or "none"
//   type CONTROL TEXT                replace the control's text (WM_SETTEXT)
//   click CONTROL                    click a button of the main window
//   box OWNER ICON BUTTONS ANSWER TEXT
//                                    wait for a message box: OWNER owned|unowned, ICON
//                                    error|warning|question|information, BUTTONS e.g. yes,no
//                                    ANSWER the button to click; TEXT its whole text
//   no_box MS                        no message box appears within MS milliseconds
//   any_box MS ANSWER                a box that may come within MS milliseconds: its text is
//                                    shown and it is answered with ANSWER
//   progress                         wait until the progress window is shown
//   expect_progress_title TEXT
//   wait_file PATH BYTES             wait until PATH exists and holds at least BYTES bytes
//   wait_status TEXT                 wait until the status line begins with TEXT
//   cancel                           click the progress window's cancel button
//   close_progress                   ask the progress window to close (as Alt+F4 does)
//   dialog TEXT                      wait for the folder dialog and find TEXT in it
//   dialog_up                        select the parent of the dialog's selected folder
//   dialog_answer ok|cancel
//   expect_layout                    the main window, its controls and the (hidden) progress
//                                    window are where the system font's units put them
//   expect_exists PATH yes|no        whether a file or folder exists
//   close                            close the main window (its close box)
//   signal NAME main|progress        let the runner take a picture of a window: writes its
//                                    rectangle to %VANTREL_UI_SIGNALS%\NAME.req, waits for
//                                    NAME.done
//   sleep MS
//   mark                             remember this moment
//   elapsed_to_box LABEL             print "time LABEL: N ms", the time from the last mark
//                                    to the moment the last box was found (a benchmark's
//                                    clock: from the click to the closing box)
//   exit CODE                        wait for the program's end and check its exit code
//
//   scenario NAME                    starts the next scenario (a script may hold many)
//
// Prints a transcript. The first failed check of a scenario prints "FAIL (line N): ...", ends
// the program under test and skips to the next scenario; a scenario that gets through ends
// with "PASS NAME". The exit status is 1 when any scenario failed.
#include <windows.h>
#include <commctrl.h>
#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>

namespace {

PROCESS_INFORMATION child{};
HWND main_window = nullptr;
HWND progress_window = nullptr;
HWND dialog_window = nullptr;
int line_number = 0;
// How long any wait may last before it counts as a failure: 30 s, or VANTREL_UI_WAIT_LIMIT_MS
// where the program under test runs under emulation and everything takes many times longer.
DWORD wait_limit_ms = 30000;
// The clock of `mark` and `elapsed_to_box`: when the last mark was set and the last box found.
LARGE_INTEGER marked_at{}, box_found_at{};

std::string utf8(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

std::wstring wide(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
  std::wstring w(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), w.data(), n);
  return w;
}

// Straight to the standard output as UTF-8, whatever the console's code page.
void say(const std::string& text) {
  std::string line = text + "\n";
  DWORD written;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), DWORD(line.size()), &written, nullptr);
}

// Thrown by a failed check: the rest of the scenario is skipped.
struct scenario_failed {};

void end_child() {
  if (!child.hProcess) return;
  TerminateProcess(child.hProcess, 99);
  WaitForSingleObject(child.hProcess, 5000);
  CloseHandle(child.hProcess);
  CloseHandle(child.hThread);
  child = {};
}

[[noreturn]] void fail(const std::string& why) {
  say("FAIL (line " + std::to_string(line_number) + "): " + why);
  end_child();
  throw scenario_failed{};
}

// A window's text, asked of the window itself: another process's edit controls keep their
// text where GetWindowText cannot see it. Bounded, since the program may be busy.
std::wstring text_of(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length))
    fail("the program does not answer (WM_GETTEXTLENGTH)");
  std::wstring text(length + 1, L'\0');
  DWORD_PTR got = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, length + 1, LPARAM(text.data()), SMTO_ABORTIFHUNG,
                           5000, &got))
    fail("the program does not answer (WM_GETTEXT)");
  text.resize(got);
  return text;
}

std::wstring class_of(HWND window) {
  wchar_t name[64];
  int n = GetClassNameW(window, name, 64);
  return std::wstring(name, n);
}

bool belongs_to_child(HWND window) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  return pid == child.dwProcessId;
}

BOOL CALLBACK collect(HWND w, LPARAM p) {
  reinterpret_cast<std::vector<HWND>*>(p)->push_back(w);
  return TRUE;
}

// The visible top-level windows of the program under test with a class.
std::vector<HWND> windows_of_class(const wchar_t* cls) {
  std::vector<HWND> all, found;
  EnumWindows(collect, LPARAM(&all));
  for (HWND w : all)
    if (belongs_to_child(w) && IsWindowVisible(w) && class_of(w) == cls) found.push_back(w);
  return found;
}

std::vector<HWND> children_of(HWND parent) {
  std::vector<HWND> found;
  EnumChildWindows(parent, collect, LPARAM(&found));
  return found;
}

bool is_folder_dialog(HWND dialog) {
  for (HWND c : children_of(dialog))
    if (class_of(c) == WC_TREEVIEWW) return true;
  return false;
}

bool child_has_ended() { return WaitForSingleObject(child.hProcess, 0) == WAIT_OBJECT_0; }

// Polls `probe` until it gives a window, the program ends or the time is up.
template <typename Probe>
HWND wait_for(const char* what, Probe probe, DWORD limit = wait_limit_ms) {
  DWORD start = GetTickCount();
  for (;;) {
    if (HWND w = probe()) return w;
    if (child_has_ended()) {
      DWORD code = 0;
      GetExitCodeProcess(child.hProcess, &code);
      fail(std::string("the program ended (exit code ") + std::to_string(code) +
           ") while waiting for " + what);
    }
    if (GetTickCount() - start > limit) fail(std::string("timed out waiting for ") + what);
    Sleep(20);
  }
}

HWND find_message_box() {
  for (HWND w : windows_of_class(L"#32770"))
    if (!is_folder_dialog(w)) return w;
  return nullptr;
}

struct control_name {
  const char* name;
  int id;
};
const control_name control_names[] = {
    {"message_view", 1}, {"password_edit", 2}, {"extract_button", 3}, {"message_label", 4},
    {"password_label", 5}, {"folder_label", 6}, {"folder_edit", 7}, {"browse_button", 8},
};

HWND control(const std::string& name) {
  if (!main_window) fail("no main window yet");
  int id = -1;
  for (const auto& c : control_names)
    if (name == c.name) id = c.id;
  if (id < 0) id = atoi(name.c_str());
  HWND w = GetDlgItem(main_window, id);
  if (!w) fail("no control " + name);
  return w;
}

// Splits off the first word of rest.
std::string word(std::string& rest) {
  size_t start = rest.find_first_not_of(' ');
  if (start == std::string::npos) {
    rest.clear();
    return {};
  }
  size_t end = rest.find(' ', start);
  std::string w = rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
  rest = end == std::string::npos ? std::string() : rest.substr(end + 1);
  return w;
}

// Paths are full of backslashes, so the line break has a marker of its own.
std::string unescape(std::string text) {
  for (size_t at; (at = text.find("{CRLF}")) != std::string::npos;) text.replace(at, 6, "\r\n");
  return text;
}

bool yes_no(const std::string& w) {
  if (w == "yes") return true;
  if (w == "no") return false;
  fail("expected yes or no, not " + w);
}

void expect_equal(const std::string& what, const std::string& got, const std::string& want) {
  if (got != want) fail(what + ": got \"" + got + "\", expected \"" + want + "\"");
  say("  ok: " + what + " = \"" + got + "\"");
}

void click(HWND button) { PostMessageW(button, BM_CLICK, 0, 0); }

// Icons belong to the process that loaded them, so a box's icon cannot be compared by handle
// from here. Instead its pixels on the screen are compared with the system's four icons drawn
// here on the same background; the nearest one names it.
const char* icon_name(HWND box) {
  HWND shown = nullptr;
  for (HWND c : children_of(box))
    if (IsWindowVisible(c) && (GetWindowLongW(c, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) shown = c;
  if (!shown) return "none";
  RECT r;
  GetWindowRect(shown, &r);
  const int w = GetSystemMetrics(SM_CXICON), h = GetSystemMetrics(SM_CYICON);
  struct known {
    int id;
    const char* name;
  };
  const known icons[] = {{32513, "error"}, {32515, "warning"}, {32514, "question"},
                         {32516, "information"}};
  HDC screen = GetDC(nullptr);
  HDC seen = CreateCompatibleDC(screen), drawn = CreateCompatibleDC(screen);
  HBITMAP seen_bits = CreateCompatibleBitmap(screen, w, h);
  HBITMAP drawn_bits = CreateCompatibleBitmap(screen, w, h);
  SelectObject(seen, seen_bits);
  SelectObject(drawn, drawn_bits);
  const char* best = "unknown";
  for (int attempt = 0; attempt < 10 && best[0] == 'u'; ++attempt) {
    Sleep(100);  // let the box paint itself
    BitBlt(seen, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    COLORREF background = GetPixel(seen, 0, 0);
    int best_difference = w * h / 4;  // more than a quarter of the pixels: no match
    for (const auto& k : icons) {
      HBRUSH brush = CreateSolidBrush(background);
      RECT all{0, 0, w, h};
      FillRect(drawn, &all, brush);
      DeleteObject(brush);
      DrawIconEx(drawn, 0, 0, LoadIconW(nullptr, MAKEINTRESOURCEW(k.id)), w, h, 0, nullptr,
                 DI_NORMAL);
      int difference = 0;
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) difference += GetPixel(seen, x, y) != GetPixel(drawn, x, y);
      if (difference < best_difference) {
        best_difference = difference;
        best = k.name;
      }
    }
  }
  DeleteDC(seen);
  DeleteDC(drawn);
  DeleteObject(seen_bits);
  DeleteObject(drawn_bits);
  ReleaseDC(nullptr, screen);
  return best;
}

// A message box's text: its visible static controls with text (the icon has none).
std::string box_text(HWND box) {
  std::string shown;
  for (HWND c : children_of(box)) {
    std::wstring cls = class_of(c);
    if ((cls == L"Static" || cls == L"STATIC") && IsWindowVisible(c)) shown += utf8(text_of(c));
  }
  return shown;
}

void handle_box(std::string rest) {
  std::string owner = word(rest), icon = word(rest), buttons = word(rest), answer = word(rest);
  std::string text = unescape(rest);
  HWND box = wait_for("a message box", find_message_box);
  QueryPerformanceCounter(&box_found_at);
  HWND box_owner = GetWindow(box, GW_OWNER);
  expect_equal("box caption", utf8(text_of(box)), "Vantrel Ver 1.67");
  expect_equal("box text", box_text(box), text);
  expect_equal("box owner",
               box_owner == nullptr ? "unowned"
               : box_owner == main_window ? "owned"
                                          : "owned by another window",
               owner);
  expect_equal("box icon", icon_name(box), icon);
  struct button_id {
    const char* name;
    int id;
  };
  const button_id ids[] = {{"ok", IDOK}, {"yes", IDYES}, {"no", IDNO}, {"cancel", IDCANCEL}};
  std::string present;
  HWND answer_button = nullptr;
  for (const auto& b : ids) {
    HWND w = GetDlgItem(box, b.id);
    if (!w || !IsWindowVisible(w)) continue;
    present += (present.empty() ? "" : ",") + std::string(b.name);
    if (answer == b.name) answer_button = w;
  }
  // The order of the list does not matter; compare as a set by sorting both.
  auto sorted = [](std::string list) {
    std::vector<std::string> parts;
    while (!list.empty()) {
      size_t comma = list.find(',');
      parts.push_back(list.substr(0, comma));
      list = comma == std::string::npos ? "" : list.substr(comma + 1);
    }
    std::string joined;
    for (size_t i = 0; i < parts.size(); ++i)
      for (size_t j = i + 1; j < parts.size(); ++j)
        if (parts[j] < parts[i]) std::swap(parts[i], parts[j]);
    for (const auto& p : parts) joined += p + ",";
    return joined;
  };
  expect_equal("box buttons", sorted(present), sorted(buttons));
  if (!answer_button) fail("the box has no button " + answer);
  say("  answer: " + answer);
  click(answer_button);
  // The box must go away before the next step looks for the next one.
  DWORD start = GetTickCount();
  while (IsWindow(box) && IsWindowVisible(box)) {
    if (GetTickCount() - start > wait_limit_ms) fail("the box stays after the answer");
    Sleep(20);
  }
}

// A window's rectangle relative to the client area of its parent (or the screen).
RECT placed(HWND w) {
  RECT r;
  GetWindowRect(w, &r);
  if (HWND parent = GetParent(w); parent && (GetWindowLongW(w, GWL_STYLE) & WS_CHILD))
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

void expect_rect(const std::string& what, HWND w, int x, int y, int width, int height) {
  RECT r = placed(w);
  auto text = [](int x, int y, int width, int height) {
    return std::to_string(width) + "x" + std::to_string(height) + " at " + std::to_string(x) +
           "," + std::to_string(y);
  };
  expect_equal(what, text(r.left, r.top, r.right - r.left, r.bottom - r.top),
               text(x, y, width, height));
}

// The layout units as the program measures them: the system font's metrics. This process
// runs in the same locale, so it sees the same font.
void expect_layout() {
  HDC dc = GetDC(nullptr);
  SelectObject(dc, GetStockObject(SYSTEM_FONT));
  TEXTMETRICW m;
  GetTextMetricsW(dc, &m);
  const int cw = m.tmAveCharWidth, lh = m.tmHeight + m.tmExternalLeading;
  auto extent = [&](const wchar_t* text) {
    SIZE size;
    GetTextExtentPoint32W(dc, text, lstrlenW(text), &size);
    return size;
  };
  SIZE extract = extent(L"解凍"), browse = extent(L"参照..."), cancel = extent(L"キャンセル");
  SIZE message = extent(L"メッセージ"), password = extent(L"パスワード"),
       folder = extent(L"解凍先フォルダ");
  ReleaseDC(nullptr, dc);
  say("  units: char_width " + std::to_string(cw) + ", line_height " + std::to_string(lh));

  RECT r;
  GetWindowRect(main_window, &r);
  expect_equal("main window size", std::to_string(r.right - r.left) + "x" +
                                       std::to_string(r.bottom - r.top),
               std::to_string(70 * cw) + "x" + std::to_string(20 * lh));
  expect_rect("message_label", control("message_label"), 1, 1, message.cx, message.cy);
  expect_rect("password_label", control("password_label"), 1, 16 * lh, password.cx, password.cy);
  expect_rect("folder_label", control("folder_label"), 1, 13 * lh, folder.cx, folder.cy);
  const int bw = std::max(extract.cx, browse.cx) + cw;
  const int bh = 3 * std::max(extract.cy, browse.cy) / 2;
  expect_rect("extract_button", control("extract_button"), 60 * cw, 17 * lh - lh / 4, bw, bh);
  expect_rect("browse_button", control("browse_button"), 60 * cw, 14 * lh - lh / 4, bw, bh);
  expect_rect("message_view", control("message_view"), cw - 2, 3 * lh / 2 - 2, 67 * cw, 11 * lh);
  expect_rect("password_edit", control("password_edit"), cw - 2, 17 * lh, 57 * cw + 4, lh);
  expect_rect("folder_edit", control("folder_edit"), cw - 2, 14 * lh, 57 * cw + 4, lh);

  HWND progress = nullptr;
  for (HWND w = nullptr; (w = FindWindowExW(nullptr, w, L"progress_window", nullptr));)
    if (belongs_to_child(w)) progress = w;
  if (!progress) fail("no progress window");
  expect_equal("progress window owner", GetWindow(progress, GW_OWNER) == main_window ? "main" : "other",
               "main");
  RECT desktop;
  GetWindowRect(GetDesktopWindow(), &desktop);
  expect_rect("progress window", progress, (desktop.right - 70 * cw) / 2,
              (desktop.bottom - 8 * lh) / 2, 70 * cw, 7 * lh);
  expect_rect("status_line", GetDlgItem(progress, 1), 2, lh, 70 * cw, lh);
  expect_rect("cancel_button", GetDlgItem(progress, 2), 30 * cw, 3 * lh, cancel.cx + cw,
              3 * cancel.cy / 2);
}

void start(const std::string& exe, const std::string& command_line = "") {
  std::wstring path = wide(exe);
  std::wstring folder = path.substr(0, path.find_last_of(L'\\'));
  std::wstring command = command_line.empty() ? L"\"" + path + L"\"" : wide(command_line);
  STARTUPINFOW info{};
  info.cb = sizeof info;
  if (!CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      folder.c_str(), &info, &child))
    fail("cannot start " + exe + " (error " + std::to_string(GetLastError()) + ")");
  WaitForInputIdle(child.hProcess, 10000);
}

void run_line(const std::string& line) {
  std::string rest = line;
  std::string verb = word(rest);
  if (verb.empty() || verb[0] == '#') return;
  say("> " + line);
  if (verb == "start") {
    start(rest);
  } else if (verb == "start_as") {
    std::string command = word(rest);
    start(rest, command);
  } else if (verb == "window") {
    main_window = wait_for("the main window", [] {
      auto found = windows_of_class(L"core_gui");
      return found.empty() ? HWND(nullptr) : found[0];
    });
  } else if (verb == "expect_title") {
    expect_equal("main window title", utf8(text_of(main_window)), unescape(rest));
  } else if (verb == "expect_text") {
    std::string name = word(rest);
    expect_equal(name, utf8(text_of(control(name))), unescape(rest));
  } else if (verb == "expect_visible") {
    std::string name = word(rest);
    bool want = yes_no(word(rest));
    expect_equal(name + " visible", IsWindowVisible(control(name)) ? "yes" : "no",
                 want ? "yes" : "no");
  } else if (verb == "expect_enabled") {
    std::string name = word(rest);
    bool want = yes_no(word(rest));
    expect_equal(name + " enabled", IsWindowEnabled(control(name)) ? "yes" : "no",
                 want ? "yes" : "no");
  } else if (verb == "expect_password_char") {
    std::string name = word(rest);
    DWORD_PTR c = 0;
    SendMessageTimeoutW(control(name), EM_GETPASSWORDCHAR, 0, 0, SMTO_ABORTIFHUNG, 5000, &c);
    expect_equal(name + " password character",
                 c ? utf8(std::wstring(1, wchar_t(c))) : "none", word(rest));
  } else if (verb == "type") {
    std::string name = word(rest);
    std::wstring text = wide(unescape(rest));
    DWORD_PTR r;
    if (!SendMessageTimeoutW(control(name), WM_SETTEXT, 0, LPARAM(text.c_str()),
                             SMTO_ABORTIFHUNG, 5000, &r))
      fail("cannot type into " + name);
  } else if (verb == "click") {
    click(control(rest));
  } else if (verb == "box") {
    handle_box(rest);
  } else if (verb == "no_box") {
    DWORD limit = DWORD(atoi(rest.c_str())), start = GetTickCount();
    while (GetTickCount() - start < limit) {
      if (HWND box = find_message_box()) fail("unexpected box: \"" + box_text(box) + "\"");
      Sleep(20);
    }
    say("  ok: no box");
  } else if (verb == "any_box") {
    DWORD limit = DWORD(atoi(word(rest).c_str())), start = GetTickCount();
    HWND box = nullptr;
    while (!(box = find_message_box()) && !child_has_ended() && GetTickCount() - start < limit)
      Sleep(20);
    if (!box) {
      say("  no box");
      return;
    }
    say("  box: \"" + box_text(box) + "\"");
    int id = rest == "yes" ? IDYES : rest == "no" ? IDNO : rest == "cancel" ? IDCANCEL : IDOK;
    HWND button = GetDlgItem(box, id);
    if (!button) fail("the box has no button " + rest);
    click(button);
  } else if (verb == "progress") {
    progress_window = wait_for("the progress window", [] {
      auto found = windows_of_class(L"progress_window");
      return found.empty() ? HWND(nullptr) : found[0];
    });
    say("  ok: progress window shown");
  } else if (verb == "expect_progress_title") {
    expect_equal("progress window title", utf8(text_of(progress_window)), unescape(rest));
  } else if (verb == "wait_file") {
    std::string path = word(rest);
    LONGLONG want = atoll(rest.c_str());
    wait_for("the file to grow", [&] {
      WIN32_FILE_ATTRIBUTE_DATA data;
      if (!GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &data))
        return HWND(nullptr);
      LONGLONG size = (LONGLONG(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
      return size >= want ? HWND(1) : HWND(nullptr);
    });
    say("  ok: " + path + " has at least " + rest + " bytes");
  } else if (verb == "wait_status") {
    std::string want = unescape(rest);
    HWND status = GetDlgItem(progress_window, 1);
    if (!status) fail("the progress window has no status line");
    wait_for("the status line", [&] {
      return utf8(text_of(status)).rfind(want, 0) == 0 ? status : HWND(nullptr);
    });
    say("  ok: status \"" + utf8(text_of(status)) + "\"");
  } else if (verb == "cancel") {
    HWND button = GetDlgItem(progress_window, 2);
    if (!button) fail("the progress window has no cancel button");
    expect_equal("cancel button", utf8(text_of(button)), "キャンセル");
    click(button);
  } else if (verb == "close_progress") {
    PostMessageW(progress_window, WM_CLOSE, 0, 0);
  } else if (verb == "dialog") {
    std::string want = unescape(rest);
    dialog_window = wait_for("the folder dialog", [] {
      for (HWND w : windows_of_class(L"#32770"))
        if (is_folder_dialog(w)) return w;
      return HWND(nullptr);
    });
    bool seen = false;
    for (HWND c : children_of(dialog_window))
      if (utf8(text_of(c)) == want) seen = true;
    if (!seen) fail("the folder dialog does not show \"" + want + "\"");
    expect_equal("dialog owner", GetWindow(dialog_window, GW_OWNER) == main_window ? "main" : "other",
                 "main");
    say("  ok: folder dialog shows \"" + want + "\"");
  } else if (verb == "dialog_up") {
    HWND tree = nullptr;
    for (HWND c : children_of(dialog_window))
      if (class_of(c) == WC_TREEVIEWW) tree = c;
    // Item handles are plain values, so these messages need no memory in the other process.
    LPARAM selected = SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0);
    LPARAM parent = selected ? SendMessageW(tree, TVM_GETNEXTITEM, TVGN_PARENT, selected) : 0;
    if (!parent) fail("the folder dialog has no selected folder with a parent");
    SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, parent);
  } else if (verb == "dialog_answer") {
    int id = rest == "ok" ? IDOK : IDCANCEL;
    HWND button = GetDlgItem(dialog_window, id);
    if (!button) fail("the folder dialog has no button " + rest);
    click(button);
    DWORD start = GetTickCount();
    while (IsWindow(dialog_window) && IsWindowVisible(dialog_window)) {
      if (GetTickCount() - start > wait_limit_ms) fail("the folder dialog stays");
      Sleep(20);
    }
  } else if (verb == "signal") {
    const char* folder = getenv("VANTREL_UI_SIGNALS");
    if (!folder) {
      say("  (no runner listening; skipped)");
      return;
    }
    std::string name = word(rest);
    HWND shown = rest == "progress" ? progress_window : main_window;
    RECT r{};
    GetWindowRect(shown, &r);
    std::string rect = std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top) +
                       "+" + std::to_string(r.left) + "+" + std::to_string(r.top) + "\n";
    std::string base = std::string(folder) + "\\" + name;
    std::string temporary = base + ".tmp";
    HANDLE f = CreateFileW(wide(temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                           nullptr);
    DWORD written;
    WriteFile(f, rect.data(), DWORD(rect.size()), &written, nullptr);
    CloseHandle(f);
    MoveFileW(wide(temporary).c_str(), wide(base + ".req").c_str());
    wait_for("the runner", [&] {
      return GetFileAttributesW(wide(base + ".done").c_str()) != INVALID_FILE_ATTRIBUTES
                 ? HWND(1)
                 : HWND(nullptr);
    });
  } else if (verb == "expect_layout") {
    expect_layout();
  } else if (verb == "expect_exists") {
    std::string path = word(rest);
    bool want = yes_no(word(rest));
    bool exists = GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
    expect_equal(path + " exists", exists ? "yes" : "no", want ? "yes" : "no");
  } else if (verb == "close") {
    PostMessageW(main_window, WM_CLOSE, 0, 0);
  } else if (verb == "mark") {
    QueryPerformanceCounter(&marked_at);
  } else if (verb == "elapsed_to_box") {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    if (box_found_at.QuadPart < marked_at.QuadPart) fail("no box was found since the mark");
    long long ms = (box_found_at.QuadPart - marked_at.QuadPart) * 1000 / frequency.QuadPart;
    say("time " + rest + ": " + std::to_string(ms) + " ms");
  } else if (verb == "sleep") {
    Sleep(DWORD(atoi(rest.c_str())));
  } else if (verb == "exit") {
    if (WaitForSingleObject(child.hProcess, wait_limit_ms) != WAIT_OBJECT_0)
      fail("the program does not end");
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    expect_equal("exit code", std::to_string(code), rest);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    child = {};
  } else {
    fail("unknown command " + verb);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    say("usage: vantrel_ui_driver SCRIPT");
    return 2;
  }
  if (const char* limit = getenv("VANTREL_UI_WAIT_LIMIT_MS"); limit && atoi(limit) > 0)
    wait_limit_ms = DWORD(atoi(limit));
  FILE* f = fopen(argv[1], "rb");
  if (!f) {
    say(std::string("cannot read ") + argv[1]);
    return 2;
  }
  std::string all;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) all.append(buffer, n);
  fclose(f);

  std::string scenario = "script";
  bool skipping = false, any_failed = false;
  DWORD scenario_start = GetTickCount();
  // Closes the current scenario: it passed unless a check failed or its program still runs.
  auto close_scenario = [&] {
    if (!skipping) {
      try {
        if (child.hProcess) fail("the scenario ended while the program still runs");
        say("PASS " + scenario + " (" + std::to_string(GetTickCount() - scenario_start) + " ms)");
      } catch (const scenario_failed&) {
        any_failed = true;
      }
    }
  };
  size_t pos = 0;
  bool opened = false;
  while (pos < all.size()) {
    size_t end = all.find('\n', pos);
    std::string line = all.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    ++line_number;
    pos = end == std::string::npos ? all.size() : end + 1;
    if (line.rfind("scenario ", 0) == 0) {
      if (opened) close_scenario();
      opened = true;
      scenario = line.substr(9);
      skipping = false;
      main_window = progress_window = dialog_window = nullptr;
      scenario_start = GetTickCount();
      say("=== " + scenario);
      continue;
    }
    if (skipping) continue;
    opened = true;
    try {
      run_line(line);
    } catch (const scenario_failed&) {
      skipping = true;
      any_failed = true;
    }
  }
  close_scenario();
  return any_failed ? 1 : 0;
}
