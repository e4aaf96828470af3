// The user-interface side of the seam: hooks replace boxes, status line and pump; the write
// observer sees every write; the exit code reaches the parent.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include "platform/platform_win32.h"
#endif

#include "platform/platform.h"
#include "tests/common/test_support.h"

namespace {

struct box_call {
  void* owner;
  std::string caption, text;
  unsigned flags;
};
std::vector<box_call> boxes;
int box_answer;
int answer_box(void* owner, const char* caption, const char* text, unsigned flags) {
  boxes.push_back({owner, caption, text, flags});
  return box_answer;
}

std::vector<std::string> statuses;
void record_status(const char* text) { statuses.push_back(text); }
int pumps;
void count_pump() { pumps++; }

struct write_call {
  file_handle f;
  std::vector<uint8_t> data;
  int64_t size_after;
};
std::vector<write_call> writes;
void observe_write(file_handle f, const void* buffer, int32_t count) {
  auto p = static_cast<const uint8_t*>(buffer);
  writes.push_back({f, std::vector<uint8_t>(p, p + (count > 0 ? count : 0)), platform_file_size(f)});
}

struct PlatformHooks : testing::Test {
  void SetUp() override {
    boxes.clear();
    statuses.clear();
    writes.clear();
    pumps = 0;
  }
  void TearDown() override {
    platform_set_message_box_hook(nullptr);
    platform_set_status_hook(nullptr);
    platform_set_pump_hook(nullptr);
    platform_set_write_hook(nullptr);
  }
};

}  // namespace

TEST_F(PlatformHooks, MessageBoxHookTakesTheQuestionAndGivesTheAnswer) {
  platform_set_message_box_hook(answer_box);
  int owner_tag = 0;
  box_answer = id_cancel;
  EXPECT_EQ(platform_message_box(&owner_tag, "Vantrel", "\xE3\x82\xBD?", mb_yesnocancel | mb_iconquestion),
            id_cancel);
  box_answer = id_ok;
  EXPECT_EQ(platform_message_box(nullptr, "c", "t", mb_iconerror), id_ok);
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].owner, &owner_tag);
  EXPECT_EQ(boxes[0].caption, "Vantrel");
  EXPECT_EQ(boxes[0].text, "\xE3\x82\xBD?");
  EXPECT_EQ(boxes[0].flags, 0x23u);
  EXPECT_EQ(boxes[1].owner, nullptr);
  EXPECT_EQ(boxes[1].flags, 0x10u);
}

#ifndef _WIN32
TEST_F(PlatformHooks, WithoutAHookABoxIsPrintedAndAnsweredWithTheChoiceThatChangesNothing) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(platform_message_box(nullptr, "Vantrel", "error text", mb_ok | mb_iconerror), id_ok);
  EXPECT_EQ(platform_message_box(nullptr, "Vantrel", "create?", mb_yesno | mb_iconquestion), id_no);
  EXPECT_EQ(platform_message_box(nullptr, "Vantrel", "overwrite?", mb_yesnocancel), id_cancel);
  std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_NE(printed.find("Vantrel: error text"), std::string::npos) << printed;
  EXPECT_NE(printed.find("overwrite?"), std::string::npos) << printed;
}
#endif

TEST_F(PlatformHooks, StatusAndPumpGoToTheirHooksAndAreQuietWithout) {
  platform_set_status_hook(record_status);
  platform_set_pump_hook(count_pump);
  platform_set_status("\xE8\xA7\xA3\xE5\x87\x8D\xE4\xB8\xAD:a\\b");
  platform_pump_one_message();
  platform_pump_one_message();
  EXPECT_EQ(statuses, std::vector<std::string>{"\xE8\xA7\xA3\xE5\x87\x8D\xE4\xB8\xAD:a\\b"});
  EXPECT_EQ(pumps, 2);
  platform_set_status_hook(nullptr);
  platform_set_pump_hook(nullptr);
  platform_set_status("nobody listens");
  platform_pump_one_message();
  EXPECT_EQ(statuses.size(), 1u);
  EXPECT_EQ(pumps, 2);
}

TEST_F(PlatformHooks, WriteObserverSeesEveryWriteAfterItHappened) {
  std::string dir = make_temp_folder("hooks");
  std::string path = dir + "observed.bin";
  file_handle f = platform_create_file(path.c_str());
  ASSERT_NE(f, no_file);
  platform_set_write_hook(observe_write);
  const uint8_t a[3] = {1, 2, 3}, b[2] = {4, 5};
  EXPECT_TRUE(platform_write(f, a, 3));
  EXPECT_TRUE(platform_write(f, b, 2));
  EXPECT_FALSE(platform_write(no_file, b, 2));
  platform_set_write_hook(nullptr);
  EXPECT_TRUE(platform_write(f, a, 1));
  EXPECT_TRUE(platform_close(f));
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[0].f, f);
  EXPECT_EQ(writes[0].data, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(writes[0].size_after, 3) << "the observer ran before the write";
  EXPECT_EQ(writes[1].data, (std::vector<uint8_t>{4, 5}));
  EXPECT_EQ(writes[1].size_after, 5);
  EXPECT_EQ(writes[2].f, no_file);
  EXPECT_EQ(read_file(path), (std::vector<uint8_t>{1, 2, 3, 4, 5, 1}));
  remove_tree(dir);
}

TEST(PlatformExitDeathTest, TheCodeReachesTheParent) {
  EXPECT_EXIT(platform_exit(0), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(platform_exit(1), testing::ExitedWithCode(1), "");
  EXPECT_EXIT(platform_exit(130), testing::ExitedWithCode(130), "");
}

#ifdef _WIN32
namespace {
int dispatched;
LRESULT CALLBACK counting_proc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  if (m == WM_APP) dispatched++;
  return DefWindowProcW(w, m, wp, lp);
}
}  // namespace

// Milliseconds by the same clock as the seam's.
static DWORD now_ms() {
  FILETIME t;
  GetSystemTimeAsFileTime(&t);
  return t.dwLowDateTime / 10000;
}

// The status line takes the newest text but redraws at most every 50 ms, and the pump looks at
// the queue at most every 10 ms and then takes everything waiting. What must not happen within
// an interval is checked only when the steps really took less than the interval: a machine too
// busy to tell skips that part rather than failing.
TEST_F(PlatformHooks, Win32StatusLineAndPumpUseTheRealWindows) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = counting_proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"vantrel_test_pump";
  RegisterClassW(&wc);
  HWND window = CreateWindowExW(0, L"vantrel_test_pump", L"", 0, 0, 0, 10, 10, nullptr, nullptr,
                                wc.hInstance, nullptr);
  ASSERT_NE(window, nullptr);
  HWND status = CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 100, 10, window, nullptr,
                                wc.hInstance, nullptr);
  ASSERT_NE(status, nullptr);
  auto shown = [status] {
    wchar_t text[32] = {};
    GetWindowTextW(status, text, 32);
    return std::wstring(text);
  };

  platform_win32_set_status_window(status);
  Sleep(60);
  // The first text after a quiet spell shows at once. The clock is read before each step, so
  // that the time measured here is never shorter than the time the seam measures.
  DWORD first = now_ms();
  platform_set_status("\xE8\xA7\xA3\xE5\x87\x8D\xE4\xB8\xAD:\xE3\x82\xBD");  // 解凍中:ソ
  EXPECT_EQ(shown(), L"\x89E3\x51CD\x4E2D:\x30BD");
  platform_set_status("second");
  platform_set_status("third");
  platform_pump_one_message();
  if (now_ms() - first < 50) {
    EXPECT_EQ(shown(), L"\x89E3\x51CD\x4E2D:\x30BD");
  }
  // The newest goes up at a pump once the interval is over.
  Sleep(60);
  platform_pump_one_message();
  EXPECT_EQ(shown(), L"third");
  // And before any box, whatever the interval.
  platform_set_status("fourth");
  platform_set_message_box_hook(answer_box);
  platform_message_box(nullptr, "caption", "text", mb_ok);
  EXPECT_EQ(shown(), L"fourth");
  platform_win32_set_status_window(nullptr);

  // Drain what creating the windows queued; then a pump takes every waiting message.
  MSG m;
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
  dispatched = 0;
  PostMessageW(window, WM_APP, 0, 0);
  PostMessageW(window, WM_APP, 0, 0);
  PostMessageW(window, WM_APP, 0, 0);
  Sleep(20);
  DWORD pumped = now_ms();
  platform_pump_one_message();
  EXPECT_EQ(dispatched, 3);
  PostMessageW(window, WM_APP, 0, 0);
  platform_pump_one_message();
  if (now_ms() - pumped < 10) {
    EXPECT_EQ(dispatched, 3);
  }
  Sleep(20);
  platform_pump_one_message();
  EXPECT_EQ(dispatched, 4);
  DestroyWindow(window);
}

// The test command runs this program once under a Japanese and once under an English locale;
// it says which code page it expects, so that a run in the wrong locale cannot pass unnoticed.
TEST(PlatformLocale, WineRunsUnderTheExpectedAnsiCodePage) {
  const char* expected = getenv("VANTREL_EXPECT_ACP");
  if (!expected) GTEST_SKIP() << "VANTREL_EXPECT_ACP not set";
  EXPECT_EQ(GetACP(), UINT(atoi(expected)));
}
#endif
