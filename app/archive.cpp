// The payload behind the stub: its length check, the preamble, and the fatal exits that every
// layer ends in.
#include "app/archive.h"

#include <string.h>

#include "app/texts.h"
#include "engine/block_reader.h"
#include "engine/cp932.h"

archive_state archive;
void* main_window;
volatile uint8_t cancel_requested;

// Reads until count bytes have come or the file ends. -1 on an error.
static int32_t read_archive(void* buffer, int32_t count) {
  uint8_t* p = static_cast<uint8_t*>(buffer);
  int32_t done = 0;
  while (done < count) {
    int32_t n = platform_read(archive.archive_file, p + done, count - done);
    if (n < 0) return -1;
    if (n == 0) break;
    done += n;
  }
  return done;
}

static void read_exactly(void* buffer, int32_t count) {
  if (read_archive(buffer, count) != count) fatal_read_error();
}

int32_t read_preamble_string(uint8_t* buffer, int32_t capacity) {
  // Read in chunks and step back to just after the zero byte: a preamble text may be long,
  // and the block stream must start exactly behind it.
  int64_t position = platform_file_position(archive.archive_file);
  if (position < 0) fatal_read_error();
  int32_t kept = 0;
  bool awaiting_trail = false;   // the last kept byte opened a double-byte character
  bool cut = false;
  for (;;) {
    uint8_t chunk[512];
    int32_t n = read_archive(chunk, sizeof chunk);
    if (n <= 0) fatal_read_error();   // an error, or the end of the file before the zero byte
    for (int32_t i = 0; i < n; i++) {
      uint8_t b = chunk[i];
      if (b == 0) {
        if (!platform_seek(archive.archive_file, position + i + 1)) fatal_read_error();
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

open_result open_archive(const char* path) {
  archive.archive_file = path ? platform_open_read(path) : platform_open_own_file();
  if (archive.archive_file == no_file) fatal_read_error();
  int64_t file_size = platform_file_size(archive.archive_file);
  if (stub_image_offset != 0) {
    if (file_size < stub_image_offset || !platform_seek(archive.archive_file, stub_image_offset))
      fatal_read_error();
    file_size -= stub_image_offset;
  }
  if (file_size < 0) fatal_read_error();
  if (file_size == stub_size) return no_payload;

  read_exactly(archive.stub_image, stub_size);
  uint8_t size_bytes[4];
  read_exactly(size_bytes, 4);
  archive.total_size = int32_t(uint32_t(size_bytes[0]) | uint32_t(size_bytes[1]) << 8 |
                               uint32_t(size_bytes[2]) << 16 | uint32_t(size_bytes[3]) << 24);
  reader.stream_position = 0;

  // The recorded length is a signed 32-bit number; the real one is compared in full, so a
  // file beyond 2 GiB never passes for a smaller recorded one.
  if (file_size != archive.total_size) {
    show_message(nullptr, file_size < archive.total_size ? TEXT_FILE_SMALLER : TEXT_FILE_LARGER,
                 mb_ok | mb_iconerror);
    platform_close(archive.archive_file);
    archive.archive_file = no_file;
    // A refused archive is a failure to whatever started the program.
    platform_exit(1);
  }

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
  memcpy(archive.archive_password, password, size_t(length));
  archive.archive_password_length = length;
}

void fatal_cleanup() {
  platform_close(archive.archive_file);
  archive.archive_file = no_file;
  if (platform_close(archive.output_file)) platform_delete_file(archive.output_path);
  archive.output_file = no_file;
  platform_exit(1);
}

void fatal_read_error() {
  show_message(main_window, TEXT_READ_FAILED, mb_ok | mb_iconerror);
  fatal_cleanup();
}

void fatal_write_error() {
  show_message(main_window, TEXT_WRITE_FAILED, mb_ok | mb_iconerror);
  fatal_cleanup();
}

void fatal_corrupted() {
  show_message(main_window, TEXT_CORRUPTED, mb_ok | mb_iconerror);
  fatal_cleanup();
}

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

void reset_archive_state() {
  memset(&archive, 0, sizeof archive);
  archive.archive_file = no_file;
  archive.output_file = no_file;
  memset(&reader, 0, sizeof reader);
  main_window = nullptr;
  cancel_requested = 0;
}
