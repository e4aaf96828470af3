#include "tests/fuzz/fuzz_archive.h"

#include <stdio.h>

#include "app/stub_size.h"
#include "packer/archive_writer.h"
#include "packer/block_writer.h"

const std::vector<uint8_t>& stand_in_stub() {
  static const std::vector<uint8_t> stub = [] {
    std::vector<uint8_t> s(stub_size);
    for (size_t i = 0; i < s.size(); i++) s[i] = uint8_t("stand-in stub "[i % 14] ^ (i >> 8));
    // A program's mark, without a program header behind it: the tool takes the file for an
    // archive only when its image starts as a program does.
    s[0] = 'M';
    s[1] = 'Z';
    return s;
  }();
  return stub;
}

std::vector<uint8_t> archive_of_input(const uint8_t* data, size_t size,
                                      const std::vector<uint8_t>& password) {
  if (size == 0 || size > (1u << 20)) return {};
  std::vector<uint8_t> file = stand_in_stub();
  if (data[0] & 1) {
    file.insert(file.end(), data + 1, data + size);
    if (file.size() < stub_size + 4) return {};
  } else {
    preamble_fields fields;
    if (!password.empty()) {
      fields.password = password;
      fields.password_flag = 1;
    }
    write_preamble(file, fields);
    block_writer w;
    block_writer_start(w, &file, password);
    for (size_t i = 1; i < size; i++) block_write_byte(w, data[i]);
    block_writer_finish(w);
  }
  patch_total_size(file);
  return file;
}

bool write_whole_file(const char* path, const std::vector<uint8_t>& file) {
  FILE* f = fopen(path, "wb");
  if (!f) return false;
  bool ok = fwrite(file.data(), 1, file.size(), f) == file.size();
  return fclose(f) == 0 && ok;
}
