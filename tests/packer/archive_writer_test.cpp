// The archive writer: the record bytes it lays down (name reuse, folder entries, times,
// sizes), the preamble it writes, the order and refusals of its member list, and archives read
// back through the extractor's own engine.
#include <gtest/gtest.h>

#include <filesystem>
#include <string.h>

#include "app/archive.h"
#include "app/stub_size.h"
#include "engine/block_reader.h"
#include "engine/member_loop.h"
#include "packer/archive_writer.h"
#include "packer/pack_names.h"
#include "packer/pack_tree.h"
#include "tests/common/test_support.h"

namespace {

pack_member folder(const char* utf8) {
  pack_member m;
  m.is_folder = true;
  m.stored_name = cp932(utf8);
  return m;
}

pack_member file(const char* utf8, std::vector<uint8_t> data, uint64_t t = 0) {
  pack_member m;
  m.stored_name = cp932(utf8);
  m.data = std::move(data);
  m.creation_time = t + 1;
  m.last_access_time = t + 2;
  m.last_write_time = t + 3;
  return m;
}

struct written_archive {
  std::string folder = make_temp_folder("writer");
  std::string path = native_path(folder) + "out.exe";
  std::vector<uint8_t> stub = test_stub_image(7);
  pack_outcome outcome;
  std::vector<uint8_t> bytes;
  written_archive(std::vector<pack_member> members, const preamble_fields& preamble = {},
                  const pack_settings& settings = {}) {
    EXPECT_EQ(order_and_check_members(members), "");
    outcome = write_archive(path, stub.data(), preamble, members, nullptr, settings);
    bytes = read_file(folder + "out.exe");
  }
  ~written_archive() { remove_tree(folder); }
};

struct seen_member {
  std::vector<uint8_t> stored;
  bool is_folder;
  uint64_t times[3];
  int32_t size;
};
std::vector<seen_member> seen;
void remember(const member_info& m) {
  seen.push_back({std::vector<uint8_t>(m.stored_name, m.stored_name + m.stored_name_length),
                  m.is_folder,
                  {m.creation_time, m.last_access_time, m.last_write_time},
                  m.size});
}

// Reads the archive through the engine: writing nothing, or into destination (engine form).
void read_back(const written_archive& a, const std::vector<uint8_t>& password = {},
               const char* destination = nullptr) {
  reset_archive_state();
  install_test_hooks();
  seen.clear();
  ASSERT_EQ(open_archive((a.folder + "out.exe").c_str()), ready);
  if (archive.password_flag) {
    ASSERT_TRUE(password_matches(password.data(), int32_t(password.size())));
    set_archive_password(password.data(), int32_t(password.size()));
  }
  extract_mode = extract_options{};
  extract_mode.write_nothing = destination == nullptr;
  extract_mode.member_done = remember;
  extract_archive(destination ? destination : ".\\");
  EXPECT_TRUE(shown_boxes.empty());
}

TEST(ArchiveWriter, RecordBytesReuseNamesAndCarryTimesAndSize) {
  // 150 double-byte characters whose second byte is 0x5C: the 257-byte reuse cap falls in
  // the middle of one.
  std::string long_folder;
  for (int i = 0; i < 150; i++) long_folder += "表";
  written_archive a({folder("ソフト\\."), folder("ソフト\\画像\\."),
                     file("ソフト\\画像\\a.txt", {'x', 'y'}, 0x0102030405060708ull),
                     folder((long_folder + "\\.").c_str()),
                     file((long_folder + "\\f").c_str(), {})});
  ASSERT_TRUE(a.outcome.ok) << a.outcome.error;
  ASSERT_EQ(int64_t(a.bytes.size()), a.outcome.archive_size);
  // total_size and the plain preamble: two empty texts and flag 0.
  uint32_t total = 0;
  for (int i = 0; i < 4; i++) total |= uint32_t(a.bytes[stub_size + i]) << (8 * i);
  EXPECT_EQ(total, a.bytes.size());
  EXPECT_TRUE(std::equal(a.stub.begin(), a.stub.end(), a.bytes.begin()));
  const uint8_t* s = a.bytes.data() + stub_size + 7;

  std::vector<uint8_t> expected = cp932("ソフト\\.");   // 8 bytes: nothing before it to reuse
  expected.push_back(0);
  // "ソフト\" (7 bytes) again: count 5.
  expected.insert(expected.end(), {'*', 5});
  for (uint8_t b : cp932("画像\\.")) expected.push_back(b);
  expected.push_back(0);
  // "ソフト\画像\" (12 bytes): count 10.
  expected.insert(expected.end(), {'*', 10, 'a', '.', 't', 'x', 't', 0});
  for (int t = 1; t <= 3; t++) {
    uint64_t v = 0x0102030405060708ull + uint64_t(t);
    for (int i = 0; i < 8; i++) expected.push_back(uint8_t(v >> (8 * i)));
  }
  expected.insert(expected.end(), {2, 0, 0, 0});
  ASSERT_GE(a.bytes.size(), stub_size + 7 + expected.size());
  EXPECT_EQ(std::vector<uint8_t>(s, s + expected.size()), expected);

  // Read back: names as stored (a reuse capped at 257 bytes rebuilds the long name), kinds,
  // times and sizes.
  read_back(a);
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen[2].stored, cp932("ソフト\\画像\\a.txt"));
  EXPECT_EQ(seen[2].times[0], 0x0102030405060709ull);
  EXPECT_EQ(seen[2].times[2], 0x010203040506070Bull);
  EXPECT_EQ(seen[2].size, 2);
  EXPECT_TRUE(seen[3].is_folder);
  EXPECT_EQ(seen[4].stored, cp932((long_folder + "\\f").c_str()));
  EXPECT_FALSE(seen[4].is_folder);
  EXPECT_EQ(seen[4].size, 0);
  // Nothing but the output is left in the folder: the temporary file was renamed.
  int entries = 0;
  for (auto& e : std::filesystem::directory_iterator(native_path(a.folder))) entries += e.exists();
  EXPECT_EQ(entries, 1);
}

TEST(ArchiveWriter, PreambleTextsAndPasswordAsTheExtractorReadsThem) {
  preamble_fields p;
  ASSERT_EQ(message_to_cp932("一行目\n二行目\r\n三行目\r", p.message_text), "");
  EXPECT_EQ(p.message_text, cp932("一行目\r\n二行目\r\n三行目\r\n"));
  p.run_after = cp932("説明.txt");
  p.password = cp932("鍵");
  p.password_flag = 1;
  std::vector<uint8_t> big = random_bytes(70000, 3);
  written_archive a({file("説明.txt", big, 5), file("b", big, 9)}, p);
  ASSERT_TRUE(a.outcome.ok) << a.outcome.error;
  read_back(a, p.password);
  EXPECT_EQ(std::vector<uint8_t>(archive.message_text,
                                 archive.message_text + archive.message_text_length),
            p.message_text);
  EXPECT_EQ(std::vector<uint8_t>(archive.run_after, archive.run_after + archive.run_after_length),
            p.run_after);
  EXPECT_TRUE(archive.password_masked);
  ASSERT_EQ(seen.size(), 2u);

  // Extracted for real: the contents come back through the scrambled stream.
  std::string out = make_temp_folder("writer_out");
  read_back(a, p.password, out.c_str());
  EXPECT_EQ(read_file(out + "b"), big);
  EXPECT_EQ(read_file(out + "説明.txt"), big);
  remove_tree(out);

  std::vector<uint8_t> bytes;
  EXPECT_NE(message_to_cp932(std::string("a\0b", 3), bytes), "");
  EXPECT_NE(message_to_cp932("😀", bytes), "");
  EXPECT_NE(message_to_cp932(std::string(40000, 'x'), bytes), "");
}

// Members are encoded side by side and joined in order: the archive is the same on any number
// of threads, also past 256 file members (the slots wrap, and more members follow than the
// writer keeps in flight), with members that copy from the stub, from earlier members and
// from files read as they are packed.
TEST(ArchiveWriter, SameArchiveOnEveryThreadCountAndItExtracts) {
  std::string sources = make_temp_folder("writer_sources");
  std::vector<uint8_t> stub = test_stub_image(7);
  std::vector<uint8_t> base = random_bytes(8000, 11);
  std::vector<pack_member> members;
  std::vector<std::pair<std::string, std::vector<uint8_t>>> expected;
  for (int i = 0; i < 300; i++) {
    // Built by appending: GCC 12 warns falsely about literal + string.
    std::string dir = "d";
    dir.append(std::to_string(i / 60)).append("\\");
    std::string name = dir;
    name.append("f").append(std::to_string(i));
    if (i % 60 == 0) members.push_back(folder(dir.append(".").c_str()));
    std::vector<uint8_t> content(base.begin() + (i * 13) % 3000,
                                 base.begin() + 3000 + (i * 71) % 5000);
    if (i % 9 == 4) content.assign(stub.begin() + 4000, stub.begin() + 9000 + i);
    if (i % 17 == 5) content.clear();
    if (i % 23 == 7) content = random_bytes(30000, uint32_t(i));
    pack_member m = file(name.c_str(), content, uint64_t(i));
    if (i % 5 == 2) {
      std::string path = sources;
      path.append("s").append(std::to_string(i));
      write_file(path, content);
      m.data.clear();
      m.source = native_path(path);
      m.source_size = int64_t(content.size());
    }
    members.push_back(m);
    expected.push_back({name, content});
  }
  for (int level : {2, 6}) {
    SCOPED_TRACE(level);
    written_archive one(members, {}, {level, 1});
    ASSERT_TRUE(one.outcome.ok) << one.outcome.error;
    for (int threads : {2, 3, 8}) {
      written_archive other(members, {}, {level, threads});
      EXPECT_TRUE(other.bytes == one.bytes) << threads << " threads";
    }
    std::string out = make_temp_folder("writer_threads_out");
    read_back(one, {}, out.c_str());
    ASSERT_EQ(seen.size(), members.size());
    for (auto& [name, content] : expected) EXPECT_TRUE(read_file(out + name) == content) << name;
    remove_tree(out);
  }
  remove_tree(sources);
}

std::vector<std::string> names_of(const std::vector<pack_member>& members) {
  std::vector<std::string> out;
  for (const pack_member& m : members) out.push_back(std::string(m.stored_name.begin(),
                                                                 m.stored_name.end()));
  return out;
}

TEST(ArchiveWriter, OrderPutsAFolderBeforeItsContentsAndRefusesClashes) {
  std::vector<pack_member> m = {file("b", {}), file("a-x", {}), file("a\\z", {}),
                                folder("a\\."), file("a\\!x", {}), file("a\\z", {})};
  ASSERT_EQ(order_and_check_members(m), "");
  EXPECT_EQ(names_of(m), (std::vector<std::string>{"a\\.", "a\\!x", "a\\z", "a-x", "b"}));
  // The separator inside ソ (0x83 0x5C) does not split: "ソ" sorts as one name.
  m = {file("ソa", {}), folder("ソ\\."), file("ソ\\b", {})};
  ASSERT_EQ(order_and_check_members(m), "");
  EXPECT_EQ(names_of(m)[0], std::string("\x83\x5C\x5C.", 4));

  struct {
    std::vector<pack_member> members;
    const char* why;
  } refused[] = {
      {{file("Read.txt", {}), file("rEAD.TXT", {})}, "differ only in case"},
      {{file("ａ.txt", {}), file("Ａ.TXT", {})}, "differ only in case"},
      {{folder("Doc\\."), file("doc", {})}, "differ only in case"},
      {{file("x\\NUL.txt", {})}, "extractor would refuse"},
      {{file("a\\..\\b", {})}, "extractor would refuse"},
      {{file("*x", {})}, "extractor would refuse"},
      {{file("name.", {})}, "dot"},
      {{file(std::string(1100, 'n').c_str(), {})}, "longer than"},
      {{file("a", {'1'}), file("a", {'2'})}, "named twice"},
      {{}, "nothing to pack"},
  };
  for (auto& r : refused) {
    std::string why = order_and_check_members(r.members);
    EXPECT_NE(why.find(r.why), std::string::npos) << r.why << ": " << why;
  }
  // A refused write leaves nothing behind.
  std::string folder_path = make_temp_folder("writer_refused");
  std::vector<uint8_t> stub = test_stub_image();
  pack_outcome none = write_archive(native_path(folder_path) + "x.exe", stub.data(), {}, {});
  EXPECT_FALSE(none.ok);
  EXPECT_TRUE(none.refused);
  EXPECT_TRUE(std::filesystem::is_empty(native_path(folder_path)));
  remove_tree(folder_path);
}

}  // namespace

// A POSIX time becomes a FILETIME to the 100 ns, from 1601 to the last one Windows takes; a
// time outside is stored as 0, "not set", rather than wrapped around into another time (the
// round-trip fuzzer packed a file of the year 47727 on tmpfs, and it came back dated thousands
// of years before 1601).
TEST(PackTree, FiletimeOfKeepsWhatAFiletimeHoldsAndNothingElse) {
  EXPECT_EQ(filetime_of(0, 0), 116444736000000000u);
  EXPECT_EQ(filetime_of(1, 999999999), 116444736000000000u + 10000000u + 9999999u);
  EXPECT_EQ(filetime_of(-11644473600LL, 100), 1u);
  EXPECT_EQ(filetime_of(-11644473601LL, 999999999), 0u);
  // INT64_MAX / 10^7 seconds after 1601, in seconds since 1970: its 0.4775807 s is the end.
  constexpr int64_t last_second = 910692730085LL;
  EXPECT_EQ(filetime_of(last_second, 477580799), uint64_t(INT64_MAX));
  EXPECT_EQ(filetime_of(last_second, 477580800), 0u);
  EXPECT_EQ(filetime_of(last_second + 1, 0), 0u);
  EXPECT_EQ(filetime_of(1444001690907LL, 892666378), 0u);
  EXPECT_EQ(filetime_of(INT64_MAX, 0), 0u);
}
