// Helpers of the codec tests: archives whose stream is a plain run of members (a 4-byte size
// and the body the encoder writes), and a driver that decodes them through start_run,
// begin_member, decode_member and end_member, as the member loop does, without names.
#pragma once
#include <stdint.h>
#include <stdio.h>
#include <string>
#include <vector>

#include "app/archive.h"
#include "engine/block_reader.h"
#include "engine/edge.h"
#include "engine/huffman.h"
#include "engine/lz_decoder.h"
#include "engine/member_loop.h"
#include "packer/block_writer.h"
#include "packer/encoder_bits.h"
#include "packer/member_encoder.h"
#include "platform/platform.h"
#include "tests/common/archive_builder.h"
#include "tests/common/test_support.h"

namespace codec {

inline void put_size(block_writer& w, int32_t size) {
  for (int i = 0; i < 4; i++) block_write_byte(w, uint8_t(uint32_t(size) >> (8 * i)));
}

// The combined file: stub, preamble, then size and body of every member.
inline std::vector<uint8_t> build(const std::vector<std::vector<uint8_t>>& members,
                                  const std::vector<uint8_t>& stub,
                                  const std::vector<uint8_t>& password = {},
                                  int level = default_level) {
  std::vector<uint8_t> file = stub;
  preamble_fields fields;
  fields.password = password;
  fields.password_flag = password.empty() ? 0 : 2;
  write_preamble(file, fields);
  block_writer w;
  block_writer_start(w, &file, password);
  encoder_run run;
  run.level = level;
  encoder_start_run(run, stub.data());
  for (const std::vector<uint8_t>& m : members) {
    put_size(w, int32_t(m.size()));
    encode_member(run, m.data(), int32_t(m.size()), w);
  }
  block_writer_finish(w);
  patch_total_size(file);
  return file;
}

// What one member's decoding wrote: the file's content and the size of every write.
struct decoded_member {
  std::vector<uint8_t> content;
  std::vector<int32_t> pieces;
  int32_t history_length = 0;
  int32_t reference_slot = 0;
};

inline std::vector<int32_t>* write_log = nullptr;
inline void log_write(file_handle, const void*, int32_t count) {
  if (write_log) write_log->push_back(count);
}

inline int32_t read_size() {
  uint32_t v = 0;
  for (int i = 0; i < 4; i++) v |= uint32_t(read_stream_byte()) << (8 * i);
  return int32_t(v);
}

// Decodes every member of the open archive (archive_file positioned at the stream), into a
// file in `folder`. Members listed in `skipped` are decoded with skip_output.
inline std::vector<decoded_member> decode_open(const std::string& folder,
                                               const std::vector<size_t>& skipped = {}) {
  std::vector<decoded_member> out;
  reader.end_of_stream = false;
  cancel_requested = 0;
  start_run();
  std::string path = folder + "member.bin";
  platform_set_write_hook(log_write);
  while (!reader.end_of_stream) {
    decoded_member d;
    int32_t size = read_size();
    begin_member(size);
    d.history_length = decoder.history_length;
    d.reference_slot = decoder.reference_slot;
    bool skip = false;
    for (size_t s : skipped) skip |= s == out.size();
    write_log = &d.pieces;
    if (skip) {
      decode_member(no_file, true);
    } else {
      snprintf(member_output.path, sizeof member_output.path, "%s", path.c_str());
      member_output.file = platform_create_file(path.c_str());
      decode_member(member_output.file, false);
      platform_close(member_output.file);
      member_output.file = no_file;
      d.content = read_file(path);
    }
    write_log = nullptr;
    end_member();
    out.push_back(std::move(d));
  }
  platform_set_write_hook(nullptr);
  return out;
}

inline std::vector<decoded_member> decode(const std::vector<uint8_t>& file,
                                          const std::vector<uint8_t>& password = {},
                                          const std::vector<size_t>& skipped = {}) {
  opened_archive a(file, nullptr, "codec");
  if (!password.empty()) set_archive_password(password.data(), int32_t(password.size()));
  return decode_open(a.folder, skipped);
}

}  // namespace codec
