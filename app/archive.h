// The archive state: everything read from the program's own file before the block stream
// starts, and the fatal exits that every layer uses when reading or writing fails.
#pragma once

#include <stdint.h>
#include "app/stub_size.h"
#include "platform/platform.h"

// Preamble texts are kept whole up to these sizes; the packer refuses longer ones, and a
// longer one in a foreign archive is cut at a character boundary.
constexpr int32_t max_message_text = 32768;
constexpr int32_t max_run_after = 1024;
constexpr int32_t max_password = 256;

struct archive_state {
  file_handle archive_file;
  uint8_t stub_image[stub_size];
  int32_t total_size;
  // CP932 bytes as stored, zero-terminated.
  uint8_t message_text[max_message_text + 1];
  int32_t message_text_length;
  uint8_t run_after[max_run_after + 1];
  int32_t run_after_length;
  bool password_flag;
  bool password_masked;
  uint16_t check_value;
  // CP932 bytes of the accepted password; the block reader's scrambling key.
  uint8_t archive_password[max_password];
  int32_t archive_password_length;
  file_handle output_file;
  // UTF-8 path of output_file, so that fatal_cleanup can remove a half-written member.
  char output_path[4096];
};
extern archive_state archive;

// The main window, owner of nearly every message box; opaque here (nullptr on POSIX).
extern void* main_window;
// Set by the progress window's cancel button or a Cancel answer; read by the engine.
extern volatile uint8_t cancel_requested;

enum open_result { no_payload, ready };

// Opens `path` (nullptr: the running program's own file) as archive_file, reads stub_image,
// total_size and the preamble. Returns no_payload for a bare stub; ends the process on a
// failure (read failure: exit 1; length mismatch: its box, exit 1).
open_result open_archive(const char* path = nullptr);
// Reads bytes from archive_file up to a zero byte into buffer (at most capacity - 1 kept,
// cut at a character boundary, always zero-terminated); returns the kept length.
int32_t read_preamble_string(uint8_t* buffer, int32_t capacity);

// The password check: CRC-16/UMTS of the CP932 bytes compared with check_value.
bool password_matches(const uint8_t* password, int32_t length);
// Stores the accepted password as the scrambling key.
void set_archive_password(const uint8_t* password, int32_t length);

[[noreturn]] void fatal_cleanup();
[[noreturn]] void fatal_read_error();
[[noreturn]] void fatal_write_error();
// A damaged archive: "ファイルが壊れています。", then fatal_cleanup. Used by the block
// reader for a bad CRC and by the decoder and member loop for malformed input.
[[noreturn]] void fatal_corrupted();

// Shows one of the program's own texts (CP932 bytes, zero-terminated), converted for the
// seam, with the program title as caption. owner: main_window or nullptr.
int show_message(void* owner, const char* cp932_text, unsigned flags);
// The same for a text made of a CP932 prefix and a UTF-8 part (a path, a name), in this
// order when suffix_first is false, otherwise the UTF-8 part first.
int show_message_with(void* owner, const char* cp932_text, const char* utf8_part,
                      bool utf8_first, unsigned flags);

// Resets every process-wide record to its state at program start (tests run many archives
// in one process).
void reset_archive_state();
