// The payload behind the stub: its length check, the preamble and the password.
#include "app/archive.h"

#include <string.h>

#include "engine/block_reader.h"
#include "engine/cp932.h"
#include "engine/edge.h"
#include "engine/lz_decoder.h"
#include "engine/member_loop.h"

archive_state archive;
void* main_window;

// Reads until count bytes have come or the file ends. -1 on an error.
static int32_t read_archive(void* buffer, int32_t count) {
  uint8_t* p = static_cast<uint8_t*>(buffer);
  int32_t done = 0;
  while (done < count) {
    int32_t n = platform_read(reader.archive_file, p + done, count - done);
    if (n < 0) return -1;
    if (n == 0) break;
    done += n;
  }
  return done;
}

static void read_exactly(void* buffer, int32_t count) {
  if (read_archive(buffer, count) != count) fail_run(failure_read);
}

int32_t read_preamble_string(uint8_t* buffer, int32_t capacity) {
  // Read in chunks and step back to just after the zero byte: a preamble text may be long,
  // and the block stream must start exactly behind it.
  int64_t position = platform_file_position(reader.archive_file);
  if (position < 0) fail_run(failure_read);
  int32_t kept = 0;
  bool awaiting_trail = false;   // the last kept byte opened a double-byte character
  bool cut = false;
  for (;;) {
    uint8_t chunk[512];
    int32_t n = read_archive(chunk, sizeof chunk);
    if (n <= 0) fail_run(failure_read);   // an error, or the end of the file before the zero byte
    for (int32_t i = 0; i < n; i++) {
      uint8_t b = chunk[i];
      if (b == 0) {
        if (!platform_seek(reader.archive_file, position + i + 1)) fail_run(failure_read);
        // A cut text must not end in half a character.
        if (cut && awaiting_trail) kept--;
        buffer[kept] = 0;
        return kept;
      }
      if (kept < capacity - 1) {
        buffer[kept++] = b;
        awaiting_trail = awaiting_trail ? false : cp932_is_lead(b);
      } else {
        cut = true;
      }
    }
    position += n;
  }
}

static uint32_t image_word(uint32_t at) {
  uint32_t w;
  memcpy(&w, archive.stub_image + at, 4);
  return w;
}

// A signing tool appends its certificate table behind the archive, at the next multiple of 8
// bytes, and records where in the security directory of the file's own header (the first
// bytes of stub_image). Where that table starts there and ends at the end of the file, the
// archive proper ends at total_size. The bytes between are the tool's alignment and are
// never read.
static bool signed_behind(int64_t file_size) {
  uint32_t header = image_word(pe_header_offset);
  if (header > uint32_t(stub_size - 256) || image_word(header) != 0x4550) return false;  // "PE\0\0"
  // The stub is a 32-bit program.
  uint32_t entry = header + pe_optional_header + pe32_certificate_entry;
  uint32_t start = image_word(entry), length = image_word(entry + 4);
  return archive.total_size >= 0 && length != 0 && start == ((uint32_t(archive.total_size) + 7) & ~7u) &&
         start + int64_t(length) == file_size;
}

open_result open_archive(const char* path) {
  file_handle f = reader.archive_file = path ? platform_open_read(path) : platform_open_own_file();
  if (f == no_file) fail_run(failure_read);
  int64_t file_size = platform_file_size(f);
  if (stub_image_offset != 0) {
    if (file_size < stub_image_offset || !platform_seek(f, stub_image_offset))
      fail_run(failure_read);
    file_size -= stub_image_offset;
  }
  if (file_size < 0) fail_run(failure_read);
  if (file_size == stub_size) return no_payload;

  read_exactly(archive.stub_image, stub_size);
  decoder.stub_image = archive.stub_image;
  uint8_t size_bytes[4];
  read_exactly(size_bytes, 4);
  archive.total_size = int32_t(uint32_t(size_bytes[0]) | uint32_t(size_bytes[1]) << 8 |
                               uint32_t(size_bytes[2]) << 16 | uint32_t(size_bytes[3]) << 24);
  reader.stream_position = 0;

  // The recorded length is a signed 32-bit number; the real one is compared in full, so a
  // file beyond 2 GiB never passes for a smaller recorded one.
  if (file_size != archive.total_size && !signed_behind(file_size))
    fail_run(file_size < archive.total_size ? failure_shorter : failure_longer);
  reader.stream_end = stub_image_offset + int64_t(archive.total_size);

  archive.message_text_length = read_preamble_string(archive.message_text, max_message_text + 1);
  archive.run_after_length = read_preamble_string(archive.run_after, max_run_after + 1);
  uint8_t flag;
  read_exactly(&flag, 1);
  archive.password_flag = flag != 0;
  if (archive.password_flag) {
    archive.password_masked = (flag & 1) != 0;
    reader.password_index = 1;
    uint8_t check[2];
    read_exactly(check, 2);
    uint16_t stored = uint16_t(check[0] | check[1] << 8);
    archive.check_value = uint16_t(stored ^ (flag * 0x0101));
  }
  return ready;
}

bool password_matches(const uint8_t* password, int32_t length) {
  reader.crc_register = 0;
  for (int32_t i = 0; i < length; i++) crc16_update(password[i]);
  crc16_update(0);
  crc16_update(0);
  return reader.crc_register == archive.check_value;
}

void set_archive_password(const uint8_t* password, int32_t length) {
  if (length > max_password) length = max_password;
  if (length < 0) length = 0;
  memcpy(reader.key, password, size_t(length));
  reader.key_length = length;
}

void reset_archive_state() {
  memset(&archive, 0, sizeof archive);
  memset(&reader, 0, sizeof reader);
  reader.archive_file = no_file;
  memset(&member_output, 0, sizeof member_output);
  member_output.file = no_file;
  main_window = nullptr;
  cancel_requested = 0;
}
