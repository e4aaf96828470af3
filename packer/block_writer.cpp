// Writing side of the block stream and the preamble.
#include "packer/block_writer.h"

#include <stdexcept>
#include <string>
#include <string.h>

#include "app/archive.h"
#include "engine/block_reader.h"

void block_writer_start(block_writer& w, std::vector<uint8_t>* out,
                        const std::vector<uint8_t>& password) {
  w.out = out;
  w.password = password;
  w.pending_length = 0;
  w.key_index = 0;
  w.data_written = 0;
}

static void emit_block(block_writer& w) {
  uint16_t crc = crc16_of(w.pending, w.pending_length);
  std::vector<uint8_t>& out = *w.out;
  size_t at = out.size();
  out.resize(at + size_t(w.pending_length) + 2);
  uint8_t* p = out.data() + at;
  const size_t key_length = w.password.size();
  for (int32_t i = 0; i < w.pending_length; i++) {
    uint8_t b = w.pending[i];
    if (key_length) {
      b ^= w.password[w.key_index];
      if (++w.key_index == key_length) w.key_index = 0;
    }
    p[i] = b;
  }
  p[w.pending_length] = uint8_t(crc >> 8);
  p[w.pending_length + 1] = uint8_t(crc);
  w.pending_length = 0;
}

void block_write_byte(block_writer& w, uint8_t b) {
  w.pending[w.pending_length++] = b;
  w.data_written++;
  if (w.pending_length == block_data_size) emit_block(w);
}

void block_write(block_writer& w, const uint8_t* data, size_t length) {
  while (length) {
    size_t n = size_t(block_data_size - w.pending_length);
    if (n > length) n = length;
    memcpy(w.pending + w.pending_length, data, n);
    w.pending_length += int32_t(n);
    w.data_written += n;
    data += n;
    length -= n;
    if (w.pending_length == block_data_size) emit_block(w);
  }
}

void block_writer_finish(block_writer& w) {
  if (w.pending_length) emit_block(w);
}

static void append_text(std::vector<uint8_t>& out, const std::vector<uint8_t>& text,
                        size_t limit, const char* what) {
  if (text.size() > limit) throw std::invalid_argument(std::string(what) + " is too long");
  if (!text.empty() && memchr(text.data(), 0, text.size()))
    throw std::invalid_argument(std::string(what) + " holds a zero byte");
  out.insert(out.end(), text.begin(), text.end());
  out.push_back(0);
}

uint8_t preamble_flag_byte(const preamble_fields& fields) {
  if (fields.password.empty()) return 0;
  return fields.password_flag ? fields.password_flag : 2;
}

void write_preamble(std::vector<uint8_t>& out, const preamble_fields& fields) {
  if (fields.password.size() > size_t(max_password))
    throw std::invalid_argument("the password is too long");
  out.insert(out.end(), 4, 0);
  append_text(out, fields.message_text, size_t(max_message_text), "the message text");
  append_text(out, fields.run_after, size_t(max_run_after), "the program to run afterwards");
  uint8_t flag = preamble_flag_byte(fields);
  out.push_back(flag);
  if (flag) {
    uint16_t check = crc16_of(fields.password.data(), int32_t(fields.password.size()));
    uint16_t stored = uint16_t(check ^ (flag * 0x0101));
    out.push_back(uint8_t(stored));
    out.push_back(uint8_t(stored >> 8));
  }
}

void patch_total_size(std::vector<uint8_t>& file) {
  if (file.size() < size_t(stub_size) + 4) throw std::invalid_argument("no payload to patch");
  if (file.size() > size_t(INT32_MAX)) throw std::length_error("the archive exceeds 2 GiB");
  uint32_t n = uint32_t(file.size());
  for (int i = 0; i < 4; i++) file[size_t(stub_size) + size_t(i)] = uint8_t(n >> (8 * i));
}
