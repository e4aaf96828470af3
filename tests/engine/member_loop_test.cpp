// The member loop through the seam: folders and files under a destination, the overwrite
// question with scripted answers, cancels, folder failures, refused names, name reuse, and the
// modes of the command-line tool.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "app/archive.h"
#include "engine/block_reader.h"
#include "engine/lz_decoder.h"
#include "engine/member_loop.h"
#include "packer/block_writer.h"
#include "packer/member_encoder.h"
#include "platform/platform.h"
#include "tests/common/archive_builder.h"
#include "tests/common/test_support.h"
#include "tests/engine/extraction_helpers.h"

#define COUNTED_NAMESPACE counted_loop
#define COUNTED_MEMBER_LOOP
#include "tests/fs/counting_seam.h"

using namespace extraction;

namespace {

constexpr uint64_t base_time = 132223968000012345ull;

std::vector<uint8_t> bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// Writes member records the way a packer would, keeping the encoder's picture of the slots
// in step also for members written by hand (shared prefix only, or empty).
struct stream_maker {
  std::vector<uint8_t> stub = test_stub_image();
  std::vector<uint8_t> blocks;
  block_writer w;
  encoder_run run;
  int serial = 0;
  uint64_t last_time = 0;  // the last write time of the file entry written last

  stream_maker() {
    block_writer_start(w, &blocks, {});
    encoder_start_run(run, stub.data());
  }
  void put(const std::vector<uint8_t>& b) {
    if (!b.empty()) block_write(w, b.data(), b.size());
  }
  void put_byte(uint8_t b) { block_write_byte(w, b); }
  void put_le(uint64_t v, int n) {
    for (int i = 0; i < n; i++) put_byte(uint8_t(v >> (8 * i)));
  }
  void name(const std::string& stored, int reuse = -1) {
    if (reuse >= 0) {
      put_byte(0x2A);
      put_byte(uint8_t(reuse));
    }
    put(bytes(stored));
    put_byte(0);
  }
  void folder(const std::string& stored, int reuse = -1) { name(stored, reuse); }
  uint64_t header(const std::string& stored, int32_t size, int reuse = -1) {
    name(stored, reuse);
    uint64_t t = base_time + uint64_t(++serial) * 864000000000ull;
    put_le(t, 8);
    put_le(t + 1, 8);
    put_le(t + 2, 8);
    put_le(uint32_t(size), 4);
    last_time = t + 2;
    return last_time;
  }
  void mirror(const std::vector<uint8_t>& content) {
    encoder_slot& s = run.slots[run.current_slot];
    s.bytes.assign(content.begin(),
                   content.begin() + std::min<size_t>(content.size(), size_t(slot_capacity)));
    s.filled = true;
    run.current_slot = (run.current_slot + 1) % 256;
  }
  // A file of size 0 with reference_delta 0: no coded byte at all.
  uint64_t empty_file(const std::string& stored, int reuse = -1) {
    uint64_t t = header(stored, 0, reuse);
    put_byte(0);
    mirror({});
    return t;
  }
  // A file that is the shared prefix of the slot `delta` back, whole: no coded byte.
  // Returns the file's content.
  std::vector<uint8_t> shared_file(const std::string& stored, int delta, int32_t size,
                                   int reuse = -1) {
    header(stored, size, reuse);
    put_byte(uint8_t(delta));
    put_le(uint32_t(size), 2);
    const encoder_slot& ref = run.slots[(run.current_slot + 256 - delta) % 256];
    std::vector<uint8_t> content(ref.bytes.begin(), ref.bytes.begin() + size);
    mirror(content);
    return content;
  }
  uint64_t coded_file(const std::string& stored, const std::vector<uint8_t>& content,
                      int reuse = -1) {
    uint64_t t = header(stored, int32_t(content.size()), reuse);
    encode_member(run, content.data(), int32_t(content.size()), w);
    return t;
  }
  // The raw stream data, for the archive builder (which makes its own blocks).
  built_archive finish() {
    block_writer_finish(w);
    std::vector<uint8_t> data;
    for (size_t at = 0; at < blocks.size(); at += size_t(block_size)) {
      size_t n = std::min(blocks.size() - at, size_t(block_size)) - 2;
      data.insert(data.end(), blocks.begin() + long(at), blocks.begin() + long(at + n));
    }
    archive_recipe r;
    r.stub = stub;
    r.stream = data;
    return build_archive(r);
  }
};

// A temporary folder with the archive in it and a destination below it, so that a test can
// tell that nothing was written beside the destination.
struct scene {
  std::string root, dest, archive_path;
  explicit scene(const char* tag, bool stable = false)
      : root(stable ? stable_temp_folder(tag) : make_temp_folder(tag)), dest(root + "dest\\") {}
  void save(const built_archive& a) { archive_path = save_archive(a.bytes, root); }
  void make_dest() { std::filesystem::create_directories(fs_path(dest)); }
  bool open() { return open_for_test(archive_path); }
  // Opens and extracts in this process.
  void extract(const std::vector<int>& answers = {}) {
    ASSERT_TRUE(open());
    scripted_answers = answers;
    extract_archive(dest.c_str());
  }
  ~scene() { remove_tree(root); }
};

std::string status_processing(const std::string& p) { return "処理中:" + p; }
std::string status_extracting(const std::string& p) { return "解凍中:" + p; }
std::string status_skipping(const std::string& p) { return "スキップ中:" + p; }

// member_done's view of a member, copied (the loop reuses its strings).
struct done_member {
  std::string name, full_path;
  bool is_folder, written;
  int32_t size;
};
std::vector<done_member> done;
void record_done(const member_info& m) {
  done.push_back({m.name, m.full_path, m.is_folder, m.written, m.size});
}

TEST(MemberLoop, FoldersFilesTimesAndStatus) {
  stream_maker m;
  std::vector<uint8_t> a = m.shared_file("a.bin", 1, 300);  // the stub's first 300 bytes
  uint64_t t1 = m.last_time;
  m.folder("sub\\deeper\\.");
  m.folder("other\\.");
  // Two folder entries later, delta 1 still means the file before them.
  m.shared_file("sub\\deeper\\b.bin", 1, 120);
  uint64_t t2 = m.last_time;
  uint64_t t3 = m.empty_file("sub\\e.txt");
  scene s("loop_basic");
  s.save(m.finish());
  s.make_dest();
  s.extract();

  EXPECT_EQ(cancel_requested, 0);
  EXPECT_EQ(reader.archive_file, no_file);
  EXPECT_EQ(list_tree(s.dest), (std::vector<std::string>{"a.bin", "other/", "sub/", "sub/deeper/",
                                                         "sub/deeper/b.bin", "sub/e.txt"}));
  EXPECT_EQ(read_file(s.dest + "a.bin"), a);
  EXPECT_EQ(read_file(s.dest + "sub\\deeper\\b.bin"), std::vector<uint8_t>(a.begin(), a.begin() + 120));
  EXPECT_TRUE(read_file(s.dest + "sub\\e.txt").empty());
  EXPECT_TRUE(same_file_time(last_write_filetime(s.dest + "a.bin"), t1));
  EXPECT_TRUE(same_file_time(last_write_filetime(s.dest + "sub\\deeper\\b.bin"), t2));
  EXPECT_TRUE(same_file_time(last_write_filetime(s.dest + "sub\\e.txt"), t3));
  std::string pa = s.dest + "a.bin", pb = s.dest + "sub\\deeper\\b.bin", pe = s.dest + "sub\\e.txt";
  EXPECT_EQ(status_lines,
            (std::vector<std::string>{status_processing(pa), status_extracting(pa),
                                      status_processing(pb), status_extracting(pb),
                                      status_processing(pe), status_extracting(pe)}));
  EXPECT_TRUE(shown_boxes.empty());
}

// The member loop compiled against a seam that writes down every look-up, on which nothing
// above the destination can be listed: a member's folders are looked up once, from the
// deepest upwards to the first that exists, and nothing above the destination is looked at.
// A file that does not exist yet costs no look-up at all: creating it anew tells.
TEST(MemberLoop, LooksUpKnownFoldersOnceAndNothingAboveTheDestination) {
  stream_maker m;
  m.empty_file("a\\b\\one");
  m.empty_file("a\\b\\two");
  m.empty_file("a\\c\\three");
  m.empty_file("top");
  m.folder("a\\b\\.");
  scene s("counted");
  s.save(m.finish());
  s.make_dest();
  namespace c = counted_loop;
  c::unlistable = c::folders_down_to(s.root);
  c::looked_up.clear();
  ASSERT_TRUE(s.open());
  c::extract_mode = extract_options{};
  c::extract_archive(s.dest.c_str());
  c::unlistable.clear();

  const std::string& d = s.dest;
  EXPECT_EQ(c::looked_up, (std::vector<std::string>{
                              d + "a\\b", d + "a", d.substr(0, d.size() - 1),
                              d + "a\\c",
                              d + "a\\b"}));
  EXPECT_EQ(list_tree(s.dest), (std::vector<std::string>{"a/", "a/b/", "a/b/one", "a/b/two", "a/c/",
                                                         "a/c/three", "top"}));
  EXPECT_TRUE(shown_boxes.empty());
  EXPECT_EQ(cancel_requested, 0);
}

// Each run starts knowing nothing: a folder of the run before that has gone meanwhile is made
// again.
TEST(MemberLoop, KnownFoldersDoNotOutliveTheRun) {
  stream_maker m;
  m.empty_file("sub\\one");
  scene s("known_per_run");
  s.save(m.finish());
  s.make_dest();
  s.extract();
  remove_tree(s.dest + "sub\\");
  s.extract();
  EXPECT_EQ(list_tree(s.dest), (std::vector<std::string>{"sub/", "sub/one"}));
  EXPECT_TRUE(shown_boxes.empty());
}

// The third of three files exists already; a fourth refers back to it.
class OverwriteQuestion : public testing::TestWithParam<int> {};

TEST_P(OverwriteQuestion, AnswerAtTheThirdFile) {
  const int answer = GetParam();
  stream_maker m;
  m.shared_file("one", 1, 10);
  m.shared_file("two", 2, 20);
  std::vector<uint8_t> three = m.shared_file("three", 3, 30);
  uint64_t t3 = m.last_time;
  m.shared_file("four", 1, 30);
  scene s("overwrite");
  s.save(m.finish());
  s.make_dest();
  write_file(s.dest + "three", bytes("old"));
  uint64_t old_time = last_write_filetime(s.dest + "three");
  s.extract({answer});

  std::string p3 = s.dest + "three";
  ASSERT_EQ(shown_boxes.size(), 1u);
  EXPECT_EQ(shown_boxes[0].text, p3 + "はすでに存在します。上書きしますか？");
  EXPECT_EQ(shown_boxes[0].caption, "Vantrel Ver 1.67");
  EXPECT_EQ(shown_boxes[0].flags, unsigned(mb_yesnocancel | mb_iconquestion));
  EXPECT_TRUE(file_exists(s.dest + "one"));
  EXPECT_TRUE(file_exists(s.dest + "two"));
  EXPECT_EQ(reader.archive_file, no_file);
  if (answer == id_yes) {
    EXPECT_EQ(read_file(p3), three);
    EXPECT_TRUE(same_file_time(last_write_filetime(p3), t3));
    EXPECT_EQ(status_lines[5], status_extracting(p3));
    EXPECT_EQ(read_file(s.dest + "four"), three);
    EXPECT_EQ(cancel_requested, 0);
  } else if (answer == id_no) {
    EXPECT_EQ(read_file(p3), bytes("old"));
    EXPECT_EQ(last_write_filetime(p3), old_time);
    EXPECT_EQ(status_lines[4], status_processing(p3));
    EXPECT_EQ(status_lines[5], status_skipping(p3));
    // The skipped member was decoded all the same and filled its slot.
    EXPECT_EQ(read_file(s.dest + "four"), three);
    EXPECT_EQ(cancel_requested, 0);
  } else {
    EXPECT_EQ(read_file(p3), bytes("old"));
    EXPECT_FALSE(file_exists(s.dest + "four"));
    EXPECT_EQ(status_lines.size(), 5u);
    EXPECT_EQ(status_lines.back(), status_processing(p3));
    EXPECT_EQ(cancel_requested, 1);
  }
}

INSTANTIATE_TEST_SUITE_P(MemberLoop, OverwriteQuestion, testing::Values(id_yes, id_no, id_cancel));

int pumps;
int cancel_at_pump;
std::vector<int> pumps_at_done;
void cancel_on_pump() {
  if (++pumps == cancel_at_pump) cancel_requested = 1;
}
// Bytes written to each member's file, counted between member_done calls.
int64_t written_since_done;
std::vector<int64_t> written_at_done;
void record_write(file_handle, const void*, int32_t count) { written_since_done += count; }
void note_done(const member_info& m) {
  record_done(m);
  pumps_at_done.push_back(pumps);
  written_at_done.push_back(written_since_done);
  written_since_done = 0;
}

TEST(MemberLoop, CancelDuringALargeMember) {
  stream_maker m;
  std::vector<uint8_t> first = random_bytes(5000, 7);
  std::vector<uint8_t> big = random_bytes(400000, 3);
  m.coded_file("first.bin", first);
  m.coded_file("big.bin", big);
  m.coded_file("after.bin", first);
  scene s("cancel_big");
  s.save(m.finish());
  s.make_dest();

  // A run without a cancel tells where the big member's pumps lie.
  ASSERT_TRUE(s.open());
  extract_mode.member_done = note_done;
  done.clear();
  pumps_at_done.clear();
  pumps = 0;
  cancel_at_pump = -1;
  platform_set_pump_hook(cancel_on_pump);
  extract_archive(s.dest.c_str());
  ASSERT_EQ(pumps_at_done.size(), 3u);
  ASSERT_GT(pumps_at_done[1] - pumps_at_done[0], 10);
  EXPECT_EQ(read_file(s.dest + "big.bin"), big);
  remove_tree(s.dest);
  s.make_dest();

  // Again, with a cancel at the third pump of the big member.
  ASSERT_TRUE(s.open());
  extract_mode.member_done = note_done;
  done.clear();
  written_at_done.clear();
  written_since_done = 0;
  pumps = 0;
  cancel_at_pump = pumps_at_done[0] + 3;
  platform_set_pump_hook(cancel_on_pump);
  platform_set_write_hook(record_write);
  extract_archive(s.dest.c_str());
  platform_set_pump_hook(nullptr);
  platform_set_write_hook(nullptr);

  EXPECT_EQ(cancel_requested, 1);
  EXPECT_EQ(read_file(s.dest + "first.bin"), first);
  EXPECT_EQ(list_tree(s.dest), std::vector<std::string>{"first.bin"});
  ASSERT_EQ(done.size(), 2u);
  EXPECT_TRUE(done[0].written);
  EXPECT_FALSE(done[1].written);
  EXPECT_EQ(done[1].name, "big.bin");
  EXPECT_EQ(pumps, cancel_at_pump);
  // What was decoded before the cancel reached the file before the file was removed:
  // a few hundred symbols, far from the whole member.
  ASSERT_EQ(written_at_done.size(), 2u);
  EXPECT_EQ(written_at_done[0], int64_t(first.size()));
  EXPECT_GT(written_at_done[1], 0);
  EXPECT_LT(written_at_done[1], int64_t(big.size() / 4));
  EXPECT_EQ(member_output.file, no_file);
  EXPECT_EQ(reader.archive_file, no_file);
}

TEST(MemberLoop, NameReuse) {
  stream_maker m;
  m.empty_file("ab", 9);                // a marker in the first record reuses nothing
  m.empty_file("c", 200);               // a count past the previous name takes all of it
  m.folder("dir\\.");
  m.empty_file("f", 2);                 // 4 bytes of "dir\." are "dir\"
  m.empty_file("g", 0);                 // 2 bytes: "di"
  m.shared_file(std::string("x\x83\x5C", 3), 1, 0);
  m.empty_file("y", 1);                 // 3 bytes: "x" and the two bytes of so
  scene s("reuse");
  s.save(m.finish());
  s.make_dest();
  s.extract();
  EXPECT_EQ(list_tree(s.dest), (std::vector<std::string>{"ab", "abc", "dig", "dir/", "dir/f",
                                                         "xソ", "xソy"}));
}

TEST(MemberLoop, FolderEntriesByTheByteRule) {
  stream_maker m;
  m.folder(".");                             // the destination itself, made when missing
  m.folder(std::string("\x83\x5C.", 3));     // "ソ.": ends in the bytes \ and ., makes nothing
  m.folder(std::string("\x95\x5C\\\x83\x5C\\.", 7));  // "表\ソ\."
  m.empty_file(std::string("\x95\x5C\\\x83\x5C\\z", 7));
  scene s("bytes_rule");
  s.save(m.finish());
  done.clear();
  ASSERT_TRUE(s.open());
  extract_mode.member_done = record_done;
  extract_archive(s.dest.c_str());
  EXPECT_EQ(list_tree(s.dest), (std::vector<std::string>{"表/", "表/ソ/", "表/ソ/z"}));
  ASSERT_EQ(done.size(), 4u);
  EXPECT_TRUE(done[0].is_folder && done[1].is_folder && done[2].is_folder);
  EXPECT_EQ(done[1].name, "ソ");
  EXPECT_EQ(done[2].name, "表\\ソ\\");
  EXPECT_FALSE(done[3].is_folder);
  EXPECT_EQ(done[3].full_path, s.dest + "表\\ソ\\z");
}

TEST(MemberLoop, WriteNothingAndSelect) {
  stream_maker m;
  m.folder("keep\\.");
  m.shared_file("keep\\k.bin", 1, 50);
  m.folder("drop\\.");
  m.shared_file("drop\\d.bin", 1, 40);
  m.shared_file("top.bin", 2, 30);
  scene s("modes");
  s.save(m.finish());
  s.make_dest();
  write_file(s.dest + "top.bin", bytes("old"));

  // Listing: every member reported with its size, nothing made, nothing asked.
  ASSERT_TRUE(s.open());
  done.clear();
  extract_mode.write_nothing = true;
  extract_mode.member_done = record_done;
  extract_archive(s.dest.c_str());
  ASSERT_EQ(done.size(), 5u);
  EXPECT_EQ(done[1].size, 50);
  EXPECT_EQ(done[4].size, 30);
  EXPECT_EQ(list_tree(s.dest), std::vector<std::string>{"top.bin"});
  EXPECT_TRUE(shown_boxes.empty());
  EXPECT_TRUE(status_lines.empty());

  // Picking: only what lies below keep\ is made; top.bin is not asked about.
  ASSERT_TRUE(s.open());
  done.clear();
  extract_mode.select = [](const member_info& i) { return strncmp(i.name, "keep\\", 5) == 0; };
  extract_mode.member_done = record_done;
  extract_archive(s.dest.c_str());
  EXPECT_EQ(list_tree(s.dest), (std::vector<std::string>{"keep/", "keep/k.bin", "top.bin"}));
  EXPECT_EQ(read_file(s.dest + "top.bin"), bytes("old"));
  EXPECT_TRUE(shown_boxes.empty());
  ASSERT_EQ(done.size(), 5u);
  EXPECT_TRUE(done[1].written);
  EXPECT_FALSE(done[3].written);
}

// ---- Fatal ends ---------------------------------------------------------------------------

// Extracts in a death test's child; the parent then looks at the disk.
void extract_and_die(const std::string& archive_path, const std::string& dest,
                     std::vector<int> answers = {}) {
  if (!open_for_test(archive_path)) platform_exit(9);
  scripted_answers = answers;
  extract_archive(dest.c_str());
  platform_exit(0);
}

std::string expected_box;
int check_box(void*, const char*, const char* text, unsigned flags) {
  if (text != expected_box || flags != (mb_ok | mb_iconerror)) platform_exit(3);
  return id_ok;
}

TEST(MemberLoopDeathTest, FileWhereAFolderIsNeeded) {
  stream_maker m;
  m.empty_file("first");
  m.empty_file("d\\x.txt");
  scene s("file_in_way", true);
  s.save(m.finish());
  s.make_dest();
  write_file(s.dest + "d", bytes("a file"));
  expected_box = "フォルダが作れませんでした:" + s.dest + "d";
  EXPECT_EXIT(
      {
        open_for_test(s.archive_path);
        platform_set_message_box_hook(check_box);
        extract_archive(s.dest.c_str());
      },
      testing::ExitedWithCode(1), "");
  EXPECT_EQ(list_tree(s.dest), (std::vector<std::string>{"d", "first"}));
  EXPECT_EQ(read_file(s.dest + "d"), bytes("a file"));
}

TEST(MemberLoopDeathTest, FolderThatCannotBeMade) {
  stream_maker m;
  std::string too_long(300, 'n');  // longer than any system's name limit
  m.empty_file(too_long + "\\x.txt");
  scene s("folder_fails", true);
  s.save(m.finish());
  s.make_dest();
  expected_box = "フォルダが作れませんでした:" + s.dest + too_long;
  EXPECT_EXIT(
      {
        open_for_test(s.archive_path);
        platform_set_message_box_hook(check_box);
        extract_archive(s.dest.c_str());
      },
      testing::ExitedWithCode(1), "");
  EXPECT_TRUE(list_tree(s.dest).empty());
}

TEST(MemberLoopDeathTest, FolderWhereAFileGoes) {
  stream_maker m;
  m.shared_file("sub", 1, 10);
  scene s("folder_in_way", true);
  s.save(m.finish());
  s.make_dest();
  std::filesystem::create_directories(fs_path(s.dest + "sub\\inner"));
  // Yes to the question, then the file cannot be created.
  EXPECT_EXIT(extract_and_die(s.archive_path, s.dest, {id_yes}), testing::ExitedWithCode(1), "");
  EXPECT_EQ(list_tree(s.dest), (std::vector<std::string>{"sub/", "sub/inner/"}));
}

// The stream ends inside a record (here in its times): a read past the stream, reported as a
// read failure; the files completed before it stay.
TEST(MemberLoopDeathTest, RecordCutShort) {
  stream_maker m;
  m.shared_file("whole.bin", 1, 64);
  m.name("cut.bin");
  m.put_le(base_time, 8);
  m.put_le(base_time, 3);
  scene s("cut_short", true);
  s.save(m.finish());
  s.make_dest();
  expected_box = "ファイルの読み込みに失敗しました。";
  EXPECT_EXIT(
      {
        open_for_test(s.archive_path);
        platform_set_message_box_hook(check_box);
        extract_archive(s.dest.c_str());
      },
      testing::ExitedWithCode(1), "");
  EXPECT_EQ(list_tree(s.dest), std::vector<std::string>{"whole.bin"});
}

struct refused_case {
  const char* label;
  std::string stored;   // the record's name bytes as written (after any marker)
  int reuse;            // -1: none
  bool folder;          // written as a folder entry (no further fields)
};

class RefusedName : public testing::TestWithParam<refused_case> {};

TEST_P(RefusedName, EndsAsDamageAndWritesNothingOfTheRecord) {
  const refused_case& c = GetParam();
  stream_maker m;
  m.empty_file("ok.txt");
  m.empty_file("a\\..b");  // a safe name that a later reuse can turn into ".."
  if (c.folder) m.folder(c.stored, c.reuse);
  else m.shared_file(c.stored, 1, 0, c.reuse);
  m.empty_file("never.txt");
  std::string tag = std::string("refused_") + c.label;
  scene s(tag.c_str(), true);
  s.save(m.finish());
  s.make_dest();
  expected_box = "ファイルが壊れています。";
  EXPECT_EXIT(
      {
        open_for_test(s.archive_path);
        platform_set_message_box_hook(check_box);
        extract_archive(s.dest.c_str());
      },
      testing::ExitedWithCode(1), "")
      << c.label;
  EXPECT_EQ(list_tree(s.root), (std::vector<std::string>{"archive.exe", "dest/", "dest/a/",
                                                          "dest/a/..b", "dest/ok.txt"}))
      << c.label;
}

std::vector<refused_case> refused_cases() {
  return {
      {"parent", "..\\evil.txt", -1, false},
      {"parent_folder", "new\\..\\..\\evil\\.", -1, true},
      {"parent_by_reuse", ".\\evil", 1, false},  // "a\." + ".\evil" = "a\..\evil"
      {"parent_slash", "new/../../evil", -1, false},
      {"leading_separator", "\\evil.txt", -1, false},
      {"leading_slash", "/evil.txt", -1, false},
      {"drive", "C:evil.txt", -1, false},
      {"drive_root", "C:\\evil.txt", -1, false},
      {"stream", "evil.txt:stream", -1, false},
      {"device", "CON", -1, false},
      {"device_ext", "new\\aux.txt\\.", -1, true},
      {"device_lpt", "lpt3.log", -1, false},
      {"trailing_dot", "new.\\x", -1, false},
      {"trailing_space", "evil ", -1, false},
      {"dot_space", "new\\.. \\x", -1, false},
      {"star", "e*", -1, false},
      {"question", "e?", -1, false},
      {"quote", "e\"", -1, false},
      {"less", "e<", -1, false},
      {"greater", "e>", -1, false},
      {"bar", "e|", -1, false},
      {"control", "e\x01", -1, false},
      {"doubled", "new\\\\x", -1, false},
      {"cut_lead_byte", "new\\e\x83", -1, false},
      {"unassigned_cp932", "new\\\x85\x40", -1, false},
      {"overlong", std::string(1100, 'n'), -1, false},
  };
}

INSTANTIATE_TEST_SUITE_P(MemberLoopDeathTest, RefusedName, testing::ValuesIn(refused_cases()),
                         [](const testing::TestParamInfo<refused_case>& i) {
                           return std::string(i.param.label);
                         });

}  // namespace
