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
  // The member file being written. The member loop keeps these two in step with the file:
  //  - output_path (UTF-8, zero-terminated) is filled in before platform_create_file;
  //  - output_file is the handle from platform_create_file, stored at once;
  //  - right after closing the member normally, output_file := no_file (output_path may
  //    keep its text; it is used only while output_file is open).
  // fatal_cleanup closes output_file and deletes output_path only when that close succeeds,
  // so a half-written member goes and a completed one stays. A stale handle left behind
  // after a normal close could name some other file by then: always reset it.
  file_handle output_file;
  char output_path[4096];
};
extern archive_state archive;

// The main window, owner of nearly every message box; opaque here (nullptr on POSIX).
extern void* main_window;
// Set by the progress window's cancel button or a Cancel answer; read by the engine.
extern volatile uint8_t cancel_requested;

enum open_result { no_payload, ready };

// Opens `path` (nullptr: the running program's own file) as archive_file, reads stub_image,
// total_size and the preamble, and sets the block reader's stream_position (0) and, with a
// password, its password_index (1). On `ready` archive_file stands at the first byte of the
// block stream. Returns no_payload for a file of exactly stub_size bytes (archive_file stays
// open; nothing past the stub is read). Ends the process on a failure: the file cannot be
// opened or sized, the stub or total_size cannot be read whole, or the file ends inside the
// preamble: the read-failure box (owned by main_window), exit 1. A length other than
// total_size: its box without owner, exit 1. Lengths compare as signed numbers, so a
// total_size with bit 31 set counts every file as larger.
open_result open_archive(const char* path = nullptr);
// Reads bytes from archive_file up to and including a zero byte; keeps at most capacity - 1
// of them in buffer (a longer text is consumed whole and cut so that no double-byte
// character is split), always zero-terminated. Returns the kept length. The file ending
// before the zero byte is a read failure (fatal_read_error).
int32_t read_preamble_string(uint8_t* buffer, int32_t capacity);

// The password check: feeds the CP932 bytes and two zero bytes through crc16_update (the
// block reader's register, which is overwritten) and compares with check_value; this is the
// CRC-16/UMTS of the bytes, so an empty text matches a check_value of 0.
bool password_matches(const uint8_t* password, int32_t length);
// Stores the accepted password as the scrambling key (at most max_password bytes kept).
// An empty key leaves the data as it stands.
void set_archive_password(const uint8_t* password, int32_t length);

// Closes archive_file (errors ignored), closes output_file and, when that close succeeded,
// deletes output_path; then ends the process with exit code 1.
[[noreturn]] void fatal_cleanup();
// "ファイルの読み込みに失敗しました。" / "ファイルの書き込みに失敗しました。", error icon,
// owned by main_window; then fatal_cleanup.
[[noreturn]] void fatal_read_error();
[[noreturn]] void fatal_write_error();
// A damaged archive: "ファイルが壊れています。", then fatal_cleanup. Used by the block
// reader for a bad CRC and by the decoder and member loop for malformed input.
[[noreturn]] void fatal_corrupted();

// Shows one of the program's own texts (CP932 bytes, zero-terminated), converted for the
// seam, with the program title as caption. owner: main_window or nullptr.
int show_message(void* owner, const char* cp932_text, unsigned flags);
// The same for a text made of a CP932 prefix and a UTF-8 part (a path, a name), in this
// order when utf8_first is false, otherwise the UTF-8 part first. A text that does not fit
// the seam's buffers is cut; one that is not valid CP932 shows as empty.
int show_message_with(void* owner, const char* cp932_text, const char* utf8_part,
                      bool utf8_first, unsigned flags);

// Resets the archive state, the block reader, main_window and cancel_requested to their
// state at program start (tests run many archives in one process). Closes nothing: a test
// closes what it opened.
void reset_archive_state();
