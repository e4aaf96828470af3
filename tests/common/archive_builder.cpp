#include "tests/common/archive_builder.h"

#include <stdexcept>
#include <stdio.h>
#include <string.h>

#include "app/stub_size.h"
#include "engine/block_reader.h"
#include "packer/block_writer.h"
#include "tests/common/test_support.h"

built_archive build_archive(const archive_recipe& recipe) {
  built_archive a;
  a.bytes = recipe.stub.empty() ? test_stub_image() : recipe.stub;
  if (a.bytes.size() != size_t(stub_size)) throw std::invalid_argument("stub of wrong size");
  if (recipe.raw_preamble.empty()) {
    preamble_fields fields;
    fields.message_text = recipe.message_text;
    fields.run_after = recipe.run_after;
    fields.password_flag = recipe.password_flag;
    fields.password = recipe.password;
    write_preamble(a.bytes, fields);
  } else {
    a.bytes.insert(a.bytes.end(), 4, 0);
    a.bytes.insert(a.bytes.end(), recipe.raw_preamble.begin(), recipe.raw_preamble.end());
  }
  a.stream_offset = a.bytes.size();
  a.stream_length = recipe.stream.size();
  block_writer w;
  block_writer_start(w, &a.bytes, recipe.password);
  block_write(w, recipe.stream.data(), recipe.stream.size());
  block_writer_finish(w);
  patch_total_size(a.bytes);
  return a;
}

built_archive build_archive(const std::vector<uint8_t>& stream,
                            const std::vector<uint8_t>& password) {
  archive_recipe r;
  r.stream = stream;
  r.password = password;
  return build_archive(r);
}

size_t block_count(const built_archive& a) {
  return (a.stream_length + block_data_size - 1) / block_data_size;
}

size_t block_file_offset(const built_archive& a, size_t block) {
  return a.stream_offset + block * size_t(block_size);
}

size_t stream_byte_file_offset(const built_archive& a, size_t stream_offset) {
  return block_file_offset(a, stream_offset / block_data_size) + stream_offset % block_data_size;
}

static size_t block_data_length(const built_archive& a, size_t block) {
  size_t rest = a.stream_length - block * size_t(block_data_size);
  return rest < size_t(block_data_size) ? rest : size_t(block_data_size);
}

size_t check_bytes_file_offset(const built_archive& a, size_t block) {
  return block_file_offset(a, block) + block_data_length(a, block);
}

void flip_stream_bit(built_archive& a, size_t stream_offset, int bit) {
  a.bytes.at(stream_byte_file_offset(a, stream_offset)) ^= uint8_t(1u << bit);
}

void flip_check_bit(built_archive& a, size_t block, int which, int bit) {
  a.bytes.at(check_bytes_file_offset(a, block) + size_t(which)) ^= uint8_t(1u << bit);
}

static void patch_total(built_archive& a) {
  uint32_t n = uint32_t(a.bytes.size());
  for (int i = 0; i < 4; i++) a.bytes.at(size_t(stub_size) + size_t(i)) = uint8_t(n >> (8 * i));
}

void truncate_archive(built_archive& a, size_t length, bool keep_total) {
  a.bytes.resize(length);
  if (!keep_total && length >= size_t(stub_size) + 4) patch_total(a);
}

void append_bytes(built_archive& a, const std::vector<uint8_t>& extra, bool keep_total) {
  a.bytes.insert(a.bytes.end(), extra.begin(), extra.end());
  if (!keep_total) patch_total(a);
}

void set_total_size(built_archive& a, uint32_t value) {
  for (int i = 0; i < 4; i++) a.bytes.at(size_t(stub_size) + size_t(i)) = uint8_t(value >> (8 * i));
}

void check_over_stored_data(built_archive& a, size_t block) {
  size_t at = block_file_offset(a, block);
  size_t n = block_data_length(a, block);
  uint16_t crc = crc16_of(a.bytes.data() + at, int32_t(n));
  a.bytes.at(at + n) = uint8_t(crc >> 8);
  a.bytes.at(at + n + 1) = uint8_t(crc);
}

std::string save_archive(const std::vector<uint8_t>& bytes, const std::string& folder,
                         const char* name) {
  std::string path = folder + name;
  write_file(path, bytes);
  return path;
}

opened_archive::opened_archive(const std::vector<uint8_t>& bytes, void* owner,
                               const char* tag) {
  folder = make_temp_folder(tag);
  path = save_archive(bytes, folder);
  reset_archive_state();
  main_window = owner;
  result = open_archive(path.c_str());
}

opened_archive::~opened_archive() {
  if (reader.archive_file != no_file) platform_close(reader.archive_file);
  reader.archive_file = no_file;
  remove_tree(folder);
}

std::string fixed_temp_path(const char* name) { return temp_root_path() + "\\" + name; }

static const char* text_name(const char* text) {
  static const struct { const char* utf8; const char* name; } known[] = {
      {"ファイルの読み込みに失敗しました。", "read_failed"},
      {"ファイルの書き込みに失敗しました。", "write_failed"},
      {"ファイルが壊れています。", "corrupted"},
      {"ファイルのサイズが元々のファイルより小さいです。解凍できません。", "file_smaller"},
      {"ファイルのサイズが元々のファイルより大きいです。このファイルはウイルスに感染している"
       "可能性があります。解凍できません。", "file_larger"},
  };
  for (const auto& k : known)
    if (strcmp(text, k.utf8) == 0) return k.name;
  return nullptr;
}

static int report_box(void* owner, const char* caption, const char* text, unsigned flags) {
  const char* name = text_name(text);
  fprintf(stderr, "BOX %s%s owned=%d flags=%u caption=%s\n", name ? name : "other:",
          name ? "" : text, owner != nullptr, flags,
          strcmp(caption, "Vantrel Ver 1.67") == 0 ? "ok" : "wrong");
  fflush(stderr);
  return record_box(owner, caption, text, flags);
}

static void report_status(const char* text) {
  fprintf(stderr, "STATUS %s\n", text);
  fflush(stderr);
  status_lines.push_back(text);
}

void install_reporting_hooks() {
  install_test_hooks();
  platform_set_message_box_hook(report_box);
  platform_set_status_hook(report_status);
}
