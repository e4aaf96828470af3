// The archive state: everything read from the program's own file before the block stream
// starts. The archive file itself, the scrambling key and the member file being written are
// the engine's (reader in engine/block_reader.h, member_output in engine/member_loop.h).
#pragma once

#include <stdint.h>
#include "app/stub_size.h"
#include "engine/block_reader.h"
#include "platform/platform.h"

// Preamble texts are kept whole up to these sizes; the packer refuses longer ones, and a
// longer one in a foreign archive is cut at a character boundary. (A password is kept up to
// max_password bytes, engine/block_reader.h.)
constexpr int32_t max_message_text = 32768;
constexpr int32_t max_run_after = 1024;

struct archive_state {
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
};
extern archive_state archive;

// The main window, owner of nearly every message box; opaque here (nullptr on POSIX).
extern void* main_window;

enum open_result { no_payload, ready };

// Opens `path` (nullptr: the running program's own file) as the block reader's archive_file,
// reads stub_image, total_size and the preamble, and sets decoder.stub_image, the block
// reader's stream_position (0) and, with a password, its password_index (1). On `ready`
// archive_file stands at the first byte of the block stream. Returns no_payload for a file of
// exactly stub_size bytes (archive_file stays open; nothing past the stub is read). Fails
// through fail_run (engine/edge.h; the stub: its box, exit 1): failure_read when the file
// cannot be opened or sized, the stub or total_size cannot be read whole, or the file ends
// inside the preamble; failure_shorter or failure_longer for a length other than total_size.
// Lengths compare as signed numbers, so a total_size with bit 31 set counts every file as
// longer. A signed archive is the exception: where the header in stub_image records a
// certificate table that starts at total_size rounded up to a multiple of 8 and ends at the
// end of the file, the length passes. Either way the block reader's stream_end is set to
// total_size, so the stream never runs into what follows it.
open_result open_archive(const char* path = nullptr);
// Reads bytes from archive_file up to and including a zero byte; keeps at most capacity - 1
// of them in buffer (a longer text is consumed whole and cut so that no double-byte
// character is split), always zero-terminated. Returns the kept length. The file ending
// before the zero byte is a read failure (failure_read).
int32_t read_preamble_string(uint8_t* buffer, int32_t capacity);

// The password check: feeds the CP932 bytes and two zero bytes through crc16_update (the
// block reader's register, which is overwritten) and compares with check_value; this is the
// CRC-16/UMTS of the bytes, so an empty text matches a check_value of 0.
bool password_matches(const uint8_t* password, int32_t length);
// Stores the accepted password as the block reader's scrambling key (at most max_password
// bytes kept). An empty key leaves the data as it stands.
void set_archive_password(const uint8_t* password, int32_t length);

// Resets the archive state, the block reader, member_output, main_window and
// cancel_requested to their state at program start (tests run many archives in one process).
// Closes nothing: a test closes what it opened.
void reset_archive_state();
