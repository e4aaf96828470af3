// The stub's edge: the engine's failures, stages and questions as the program's own boxes and
// status line, and the boxes themselves.
#include "app/stub_edge.h"

#include <string.h>

#include "app/archive.h"
#include "app/texts.h"
#include "engine/edge.h"
#include "platform/platform.h"

// The boxes' texts: the program's own are short, a path may take up to the seam's 4096 bytes.
constexpr size_t box_text_capacity = 3 * 1024 + 4096 + 1;

static void to_utf8(const char* cp932_text, char* target, size_t capacity) {
  if (platform_cp932_to_utf8(reinterpret_cast<const uint8_t*>(cp932_text), strlen(cp932_text),
                             target, capacity) < 0)
    target[0] = 0;
}

// Appends part at text + used, cut where needed at a character boundary; returns the new length.
static size_t append_utf8(char* text, size_t capacity, size_t used, const char* part) {
  size_t n = strlen(part);
  if (n > capacity - 1 - used) {
    n = capacity - 1 - used;
    while (n > 0 && (uint8_t(part[n]) & 0xC0) == 0x80) n--;
  }
  memcpy(text + used, part, n);
  text[used + n] = 0;
  return used + n;
}

int show_message(void* owner, const char* cp932_text, unsigned flags) {
  char caption[64];
  char text[box_text_capacity];
  to_utf8(TEXT_TITLE, caption, sizeof caption);
  to_utf8(cp932_text, text, sizeof text);
  return platform_message_box(owner, caption, text, flags);
}

int show_message_with(void* owner, const char* cp932_text, const char* utf8_part,
                      bool utf8_first, unsigned flags) {
  char caption[64];
  char own[1024];
  char text[box_text_capacity];
  to_utf8(TEXT_TITLE, caption, sizeof caption);
  to_utf8(cp932_text, own, sizeof own);
  size_t used = append_utf8(text, sizeof text, 0, utf8_first ? utf8_part : own);
  append_utf8(text, sizeof text, used, utf8_first ? own : utf8_part);
  return platform_message_box(owner, caption, text, flags);
}

// By failure_kind.
static const char* const failure_texts[] = {
    TEXT_READ_FAILED, TEXT_WRITE_FAILED, TEXT_CORRUPTED,
    TEXT_FOLDER_FAILED, TEXT_FILE_SMALLER, TEXT_FILE_LARGER,
};
static_assert(sizeof failure_texts / sizeof *failure_texts == failure_longer + 1);

void fail_run(failure_kind kind, const char* detail) {
  // The length check's two kinds come last: their boxes have no owner.
  show_message_with(kind >= failure_shorter ? nullptr : main_window, failure_texts[kind],
                    detail ? detail : "", false, mb_ok | mb_iconerror);
  abandon_run();
  platform_exit(1);
}

// By member_stage.
static const char* const stage_texts[] = {TEXT_PROCESSING, TEXT_SKIPPING, TEXT_EXTRACTING};
static_assert(sizeof stage_texts / sizeof *stage_texts == stage_extracting + 1);

void report_stage(member_stage stage, const char* full_path) {
  char own[64];
  char status[box_text_capacity];
  to_utf8(stage_texts[stage], own, sizeof own);
  append_utf8(status, sizeof status, append_utf8(status, sizeof status, 0, own), full_path);
  platform_set_status(status);
}

overwrite_answer ask_overwrite(const char* full_path) {
  return overwrite_answer(show_message_with(main_window, TEXT_OVERWRITE, full_path, true,
                                            mb_yesnocancel | mb_iconquestion));
}
