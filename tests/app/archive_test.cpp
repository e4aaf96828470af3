// Opening a combined file: the length checks, every preamble shape, the password check, the
// boxes of the program's own texts, and the stub's failures with their clean-up.
#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "app/archive.h"
#include "app/stub_edge.h"
#include "app/texts.h"
#include "engine/block_reader.h"
#include "engine/edge.h"
#include "engine/member_loop.h"
#include "tests/common/archive_builder.h"
#include "tests/common/test_support.h"
#include "tests/common/vectors.h"

namespace {

int owner_window;

int64_t file_position() { return platform_file_position(reader.archive_file); }

std::vector<uint8_t> kept(const uint8_t* text, int32_t length) {
  return std::vector<uint8_t>(text, text + length);
}

// A preamble given byte for byte, with an empty stream behind it.
built_archive with_raw_preamble(const std::vector<uint8_t>& preamble) {
  archive_recipe r;
  r.raw_preamble = preamble;
  return build_archive(r);
}

// A signature as a signing tool adds it: the header of the stub image (at 0x80 here) records a
// certificate table of `length` bytes at `start`; zero bytes up to `start`, then the table.
// `start` 0: the file's length rounded up to a multiple of 8.
void sign(built_archive& a, uint32_t length, uint32_t start = 0) {
  if (start == 0) start = uint32_t((a.bytes.size() + 7) & ~size_t(7));
  auto put = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) a.bytes[at + i] = uint8_t(v >> (8 * i));
  };
  put(0x3C, 0x80);
  put(0x80, 0x4550);
  put(0x80 + 24 + 96 + 4 * 8, start);
  put(0x80 + 24 + 96 + 4 * 8 + 4, length);
  a.bytes.resize(std::max<size_t>(a.bytes.size(), start), 0);
  std::vector<uint8_t> table = random_bytes(length, 9);
  a.bytes.insert(a.bytes.end(), table.begin(), table.end());
}

}  // namespace

// ---- Preamble shapes -------------------------------------------------------------------------

TEST(Preamble, TheSmallestArchiveOfTheExample) {
  // 49331 bytes: the stub, total_size, two empty texts, flag 0 and 23200 stream bytes in
  // six blocks.
  built_archive a = build_archive(random_bytes(23200, 1));
  ASSERT_EQ(a.bytes.size(), 49331u);
  EXPECT_EQ(a.bytes[26112], 0xB3);
  EXPECT_EQ(a.bytes[26113], 0xC0);
  EXPECT_EQ(a.bytes[26114], 0x00);
  EXPECT_EQ(a.bytes[26115], 0x00);
  opened_archive open(a.bytes);
  ASSERT_EQ(open.result, ready);
  EXPECT_EQ(archive.total_size, 49331);
  EXPECT_EQ(archive.message_text_length, 0);
  EXPECT_EQ(archive.message_text[0], 0);
  EXPECT_EQ(archive.run_after_length, 0);
  EXPECT_FALSE(archive.password_flag);
  EXPECT_FALSE(archive.password_masked);
  EXPECT_EQ(file_position(), 26119);
  EXPECT_EQ(reader.stream_position, 0);
  EXPECT_TRUE(kept(archive.stub_image, stub_size) == test_stub_image());
}

TEST(Preamble, TextsAreKeptAsStored) {
  archive_recipe r;
  r.message_text = cp932("テスト用の書庫です。\r\n二行目");
  r.run_after = cp932("ソフト\\表示.txt");
  r.stream = random_bytes(10, 2);
  built_archive a = build_archive(r);
  opened_archive open(a.bytes);
  ASSERT_EQ(open.result, ready);
  EXPECT_TRUE(kept(archive.message_text, archive.message_text_length) == r.message_text);
  EXPECT_EQ(archive.message_text[archive.message_text_length], 0);
  EXPECT_TRUE(kept(archive.run_after, archive.run_after_length) == r.run_after);
  EXPECT_EQ(file_position(), int64_t(a.stream_offset));
  EXPECT_EQ(read_stream_byte(), r.stream[0]);
}

TEST(Preamble, FlagByteAndStoredCheck) {
  // The stored check 0x1234 (bytes 34 12) XORed with the flag byte in both halves.
  struct shape { uint8_t flag; bool masked; uint16_t check; } shapes[] = {
      {1, true, 0x1335}, {2, false, 0x1036}, {0xFE, false, 0xECCA}, {0xFF, true, 0xEDCB},
  };
  for (const shape& s : shapes) {
    SCOPED_TRACE(int(s.flag));
    opened_archive open(with_raw_preamble({'m', 0, 'r', 0, s.flag, 0x34, 0x12}).bytes);
    ASSERT_EQ(open.result, ready);
    EXPECT_TRUE(archive.password_flag);
    EXPECT_EQ(archive.password_masked, s.masked);
    EXPECT_EQ(archive.check_value, s.check);
    EXPECT_EQ(reader.password_index, 1);
    EXPECT_EQ(file_position(), int64_t(stub_size + 4 + 7));
  }
  // Flag 0: no check bytes; the stream begins right after the flag.
  opened_archive open(with_raw_preamble({0, 0, 0}).bytes);
  EXPECT_FALSE(archive.password_flag);
  EXPECT_EQ(archive.check_value, 0);
  EXPECT_EQ(reader.password_index, 0);
  EXPECT_EQ(file_position(), int64_t(stub_size + 4 + 3));
}

TEST(Preamble, OverlongTextsAreConsumedWholeAndCutBetweenCharacters) {
  // Double-byte characters from offset 1 on put a character across the cut of an odd
  // capacity; the preamble fields behind must still be read from the right place.
  std::vector<uint8_t> message(1, 'x');
  while (message.size() < size_t(max_message_text) + 40) {
    message.push_back(0x82);   // "あ"
    message.push_back(0xA0);
  }
  std::vector<uint8_t> run_after(max_run_after, 'r');   // exactly the capacity: kept whole
  std::vector<uint8_t> raw = message;
  raw.push_back(0);
  raw.insert(raw.end(), run_after.begin(), run_after.end());
  raw.push_back(0);
  raw.insert(raw.end(), {1, 0x34, 0x12});
  {
    // Closed before the second archive is opened: opening resets the process-wide record
    // without closing, so the first file would stay open to the end of the run, and on
    // Windows an open file cannot be removed.
    opened_archive open(with_raw_preamble(raw).bytes);
    ASSERT_EQ(open.result, ready);
    // 32768 bytes would end with the lead byte of a character: the cut keeps 32767.
    ASSERT_EQ(archive.message_text_length, max_message_text - 1);
    EXPECT_TRUE(kept(archive.message_text, archive.message_text_length) ==
                std::vector<uint8_t>(message.begin(), message.begin() + max_message_text - 1));
    EXPECT_EQ(archive.message_text[max_message_text - 1], 0);
    EXPECT_TRUE(kept(archive.run_after, archive.run_after_length) == run_after);
    EXPECT_EQ(archive.check_value, 0x1335);
    EXPECT_EQ(file_position(), int64_t(stub_size + 4 + raw.size()));
  }

  // An over-long text of single bytes keeps the full capacity.
  std::vector<uint8_t> plain(max_run_after + 3, 'p');
  raw = {0};
  raw.insert(raw.end(), plain.begin(), plain.end());
  raw.insert(raw.end(), {0, 0});
  opened_archive second(with_raw_preamble(raw).bytes);
  EXPECT_EQ(archive.run_after_length, max_run_after);
  EXPECT_FALSE(archive.password_flag);
}

TEST(Preamble, ABareStubHasNoPayload) {
  install_test_hooks();
  opened_archive open(test_stub_image());
  EXPECT_EQ(open.result, no_payload);
  EXPECT_TRUE(shown_boxes.empty());
  EXPECT_EQ(file_position(), 0);   // nothing past the stub is read, nor the stub itself
  EXPECT_FALSE(archive.password_flag);
  EXPECT_EQ(archive.message_text_length, 0);
}

TEST(Preamble, PasswordCheckIsTheCrcOfTheText) {
  // Check values as stored by the independent writer of the reference archives.
  archive.check_value = 0x8179;
  EXPECT_TRUE(password_matches(reinterpret_cast<const uint8_t*>("k"), 1));
  EXPECT_FALSE(password_matches(reinterpret_cast<const uint8_t*>("x"), 1));
  EXPECT_FALSE(password_matches(nullptr, 0));
  std::vector<uint8_t> secret = cp932("秘密");
  archive.check_value = 0x6AD6;
  EXPECT_TRUE(password_matches(secret.data(), int32_t(secret.size())));
  EXPECT_FALSE(password_matches(secret.data(), 2));
  // The empty text has CRC 0.
  archive.check_value = 0;
  EXPECT_TRUE(password_matches(nullptr, 0));
  EXPECT_FALSE(password_matches(reinterpret_cast<const uint8_t*>("\0"), 1) &&
               password_matches(reinterpret_cast<const uint8_t*>("a"), 1));

  // And through the writer: every flag byte stores a check that opens with the password.
  for (uint8_t flag : {0, 1, 2, 0x7F, 0xFE, 0xFF}) {
    SCOPED_TRACE(int(flag));
    archive_recipe r;
    r.password = secret;
    r.password_flag = flag;
    r.stream = random_bytes(100, 5);
    opened_archive open(build_archive(r).bytes);
    ASSERT_TRUE(archive.password_flag);
    EXPECT_EQ(archive.password_masked, (flag & 1) != 0);
    EXPECT_TRUE(password_matches(secret.data(), int32_t(secret.size())));
    EXPECT_FALSE(password_matches(secret.data(), int32_t(secret.size()) - 1));
  }
}

// ---- Boxes ------------------------------------------------------------------------------------

TEST(Boxes, OwnTextsAreShownAsUtf8WithTheTitle) {
  install_test_hooks();
  show_message(nullptr, TEXT_FINISHED, mb_iconinformation);
  show_message(&owner_window, TEXT_WRONG_PASSWORD, mb_iconwarning);
  show_message_with(&owner_window, TEXT_FOLDER_FAILED, "C:\\José\\フォルダ", false, mb_iconerror);
  show_message_with(&owner_window, TEXT_OVERWRITE, "C:\\a.txt", true, mb_yesnocancel);
  ASSERT_EQ(shown_boxes.size(), 4u);
  for (const recorded_box& b : shown_boxes) EXPECT_EQ(b.caption, "Vantrel Ver 1.67");
  EXPECT_EQ(shown_boxes[0].text, "ファイルの解凍が終わりました。");
  EXPECT_FALSE(shown_boxes[0].owned);
  EXPECT_EQ(shown_boxes[0].flags, 0x40u);
  EXPECT_EQ(shown_boxes[1].text, "パスワードが違います。");
  EXPECT_TRUE(shown_boxes[1].owned);
  EXPECT_EQ(shown_boxes[2].text, "フォルダが作れませんでした:C:\\José\\フォルダ");
  EXPECT_EQ(shown_boxes[3].text, "C:\\a.txtはすでに存在します。上書きしますか？");
}

// ---- Signed archives --------------------------------------------------------------------------

TEST(Signed, ACertificateTableBehindTheArchiveIsNotPartOfIt) {
  // A stream that ends on a multiple of 8 and ones that leave 1 to 7 bytes of alignment; the
  // last block is full or partial. The stream reads to its end and not into the table.
  for (size_t n : {8183u, 8184u, 8185u, 8190u, 4096u, 9000u}) {
    SCOPED_TRACE(n);
    std::vector<uint8_t> stream = random_bytes(n, uint32_t(n));
    built_archive a = build_archive(stream);
    sign(a, 1488);
    opened_archive open(a.bytes);
    ASSERT_EQ(open.result, ready);
    std::vector<uint8_t> read;
    while (!reader.end_of_stream) read.push_back(read_stream_byte());
    EXPECT_TRUE(read == stream);
  }
}

TEST(SignedDeathTest, OnlyATableThatEndsTheFileWhereTheHeaderSaysPasses) {
  built_archive plain = build_archive(random_bytes(5000, 3));
  uint32_t aligned = uint32_t((plain.bytes.size() + 7) & ~size_t(7));
  struct bad { const char* what; uint32_t start; uint32_t length; int appended; bool no_pe; uint32_t total; } cases[] = {
      {"a byte appended after signing", 0, 1488, 1, false, 0},
      {"the table recorded 8 bytes later", aligned + 8, 1488, 0, false, 0},
      {"an empty table", 0, 0, 0, false, 0},
      {"no PE signature", 0, 1488, 0, true, 0},
      {"a negative total_size", 0, 1488, 0, false, 0x80000000u},
  };
  for (const bad& c : cases) {
    SCOPED_TRACE(c.what);
    built_archive a = plain;
    if (c.total) set_total_size(a, c.total | uint32_t(a.bytes.size()));
    sign(a, c.length, c.start);
    if (c.no_pe) a.bytes[0x80] = 'X';
    a.bytes.insert(a.bytes.end(), size_t(c.appended), 0);
    EXPECT_EXIT(
        {
          install_reporting_hooks();
          opened_archive open(a.bytes, &owner_window);
          (void)open;
          platform_exit(0);
        },
        ::testing::ExitedWithCode(1), "BOX file_larger owned=0 flags=16 caption=ok");
  }
}

// ---- Fatal exits at start-up -----------------------------------------------------------------

TEST(OpenDeathTest, ShortFilesAreReadFailures) {
  // Shorter than the stub, or a stub with part of total_size.
  for (size_t length : {0u, 100u, 26111u, 26113u, 26114u, 26115u}) {
    SCOPED_TRACE(length);
    std::vector<uint8_t> bytes = build_archive(random_bytes(10, 1)).bytes;
    bytes.resize(length);
    EXPECT_EXIT(
        {
          install_reporting_hooks();
          opened_archive open(bytes, &owner_window);
          (void)open;
          platform_exit(0);
        },
        ::testing::ExitedWithCode(1), "BOX read_failed owned=1 flags=16 caption=ok");
  }
  EXPECT_EXIT(
      {
        install_reporting_hooks();
        reset_archive_state();
        open_archive(fixed_temp_path("vantrel_no_such_archive.exe").c_str());
        platform_exit(0);
      },
      ::testing::ExitedWithCode(1), "BOX read_failed");
}

TEST(OpenDeathTest, LengthMismatchBoxesHaveNoOwner) {
  built_archive a = build_archive(random_bytes(300, 1));
  uint32_t real = uint32_t(a.bytes.size());
  struct mismatch { uint32_t total; const char* box; } cases[] = {
      {real - 1, "BOX file_larger owned=0 flags=16 caption=ok"},
      {real + 1, "BOX file_smaller owned=0 flags=16 caption=ok"},
      {0x80000000u | real, "BOX file_larger owned=0 flags=16 caption=ok"},
      {0xFFFFFFFFu, "BOX file_larger owned=0"},
  };
  for (const mismatch& m : cases) {
    SCOPED_TRACE(m.total);
    built_archive damaged = a;
    set_total_size(damaged, m.total);
    EXPECT_EXIT(
        {
          install_reporting_hooks();
          opened_archive open(damaged.bytes, &owner_window);
          (void)open;
          platform_exit(0);
        },
        ::testing::ExitedWithCode(1), m.box);
  }
}

TEST(OpenDeathTest, EndOfFileInsideThePreambleIsAReadFailure) {
  // Each shape stops short of one more field: the message's zero byte, run_after, the flag,
  // the stored check, its second byte.
  std::vector<std::vector<uint8_t>> shapes = {
      {'a', 'b', 'c'}, {'a', 0}, {'a', 0, 'r'}, {0, 0}, {0, 0, 1}, {0, 0, 1, 0x12},
  };
  for (const std::vector<uint8_t>& preamble : shapes) {
    SCOPED_TRACE(preamble.size());
    built_archive a = with_raw_preamble(preamble);
    EXPECT_EXIT(
        {
          install_reporting_hooks();
          opened_archive open(a.bytes, &owner_window);
          (void)open;
          platform_exit(0);
        },
        ::testing::ExitedWithCode(1), "BOX read_failed owned=1 flags=16 caption=ok");
  }
}

// ---- Fatal exits and the member file ---------------------------------------------------------

TEST(FatalDeathTest, EachKindShowsItsBoxAndEndsWithOne) {
  // The length check's boxes have no owner, the others belong to the main window.
  struct kind_box { failure_kind kind; const char* box; } kinds[] = {
      {failure_read, "BOX read_failed owned=1 flags=16 caption=ok"},
      {failure_write, "BOX write_failed owned=1 flags=16 caption=ok"},
      {failure_damaged, "BOX corrupted owned=1 flags=16 caption=ok"},
      {failure_shorter, "BOX file_smaller owned=0 flags=16 caption=ok"},
      {failure_longer, "BOX file_larger owned=0 flags=16 caption=ok"},
  };
  for (const kind_box& k : kinds) {
    EXPECT_EXIT(
        {
          install_reporting_hooks();
          reset_archive_state();
          main_window = &owner_window;
          fail_run(k.kind);
        },
        ::testing::ExitedWithCode(1), k.box);
  }
}

// The box must say "フォルダが作れませんでした:" and the path, with the error icon; the hook
// ends the process with another code when it does not, so exit code 1 means both were right.
static int expect_folder_box(void* owner, const char*, const char* text, unsigned flags) {
  if (std::string(text) != "フォルダが作れませんでした:C:\\x\\ソ" || flags != (mb_ok | mb_iconerror) ||
      owner != &owner_window)
    platform_exit(3);
  return id_ok;
}

TEST(FatalDeathTest, AFolderFailureNamesThePath) {
  EXPECT_EXIT(
      {
        reset_archive_state();
        main_window = &owner_window;
        platform_set_message_box_hook(expect_folder_box);
        fail_run(failure_folder, "C:\\x\\ソ");
      },
      testing::ExitedWithCode(1), "");
}

TEST(Fatal, AbandoningWithNothingOpenChangesNothing) {
  install_test_hooks();
  reset_archive_state();
  abandon_run();
  EXPECT_EQ(reader.archive_file, no_file);
  EXPECT_EQ(member_output.file, no_file);
  EXPECT_TRUE(shown_boxes.empty());
}

TEST(FatalDeathTest, AHalfWrittenMemberIsRemoved) {
  // The child (on Windows a fresh run of this test) opens the archive, creates the member as
  // the member loop does, writes part of it and fails.
  std::string member = fixed_temp_path("vantrel_fatal_half_written.bin");
  platform_delete_file(member.c_str());
  built_archive a = build_archive(random_bytes(5000, 1));
  flip_stream_bit(a, 4500, 2);
  EXPECT_EXIT(
      {
        install_reporting_hooks();
        opened_archive open(a.bytes);
        memcpy(member_output.path, member.c_str(), member.size() + 1);
        member_output.file = platform_create_file(member.c_str());
        if (member_output.file == no_file) platform_exit(3);
        for (int i = 0; i < 4096; i++) {
          uint8_t b = read_stream_byte();
          if (!platform_write(member_output.file, &b, 1)) platform_exit(4);
        }
        fprintf(stderr, "member written in part\n");
        fflush(stderr);
        read_stream_byte();
        platform_exit(0);
      },
      ::testing::ExitedWithCode(1), "member written in part\\s+BOX corrupted");
  EXPECT_FALSE(file_exists(member));
}

TEST(FatalDeathTest, AFailureBetweenMembersRemovesNothing) {
  // The previous member was completed and closed: member_output.file is no_file again, while
  // member_output.path still names it.
  std::string member = fixed_temp_path("vantrel_fatal_completed.bin");
  write_file(member, {1, 2, 3});
  EXPECT_EXIT(
      {
        install_reporting_hooks();
        opened_archive open(build_archive(random_bytes(10, 1)).bytes);
        memcpy(member_output.path, member.c_str(), member.size() + 1);
        member_output.file = no_file;
        fail_run(failure_read);
      },
      ::testing::ExitedWithCode(1), "BOX read_failed");
  EXPECT_TRUE(file_exists(member));
  EXPECT_TRUE(read_file(member) == std::vector<uint8_t>({1, 2, 3}));
  platform_delete_file(member.c_str());
}

// ---- The reference archives ------------------------------------------------------------------

#ifdef VECTORS_DIR
namespace {

// The value of `"key": ` inside the first "preamble" object of a manifest, as its JSON text
// (quotes stripped from a string).
std::string preamble_field(const std::string& json, const std::string& key) {
  size_t start = json.find("\"preamble\"");
  size_t end = json.find('}', start);
  size_t at = json.find("\"" + key + "\"", start);
  if (start == std::string::npos || at == std::string::npos || at > end) return "<missing>";
  at = json.find(':', at) + 1;
  while (json[at] == ' ') at++;
  if (json[at] == '"') return json.substr(at + 1, json.find('"', at + 1) - at - 1);
  size_t stop = json.find_first_of(",}\n", at);
  return json.substr(at, stop - at);
}

std::string hex(const uint8_t* data, int32_t length) {
  std::string s;
  char two[3];
  for (int32_t i = 0; i < length; i++) {
    snprintf(two, sizeof two, "%02x", data[i]);
    s += two;
  }
  return s;
}

}  // namespace

TEST(Vectors, PreamblesAgreeWithTheManifests) {
  if (!vectors_present()) return;
  const char* names[] = {"basic", "damage_flip_block2", "empty_files", "folders",
                         "large_files", "malformed_distance", "name_reuse",
                         "password_1byte_masked", "password_cp932_flag254", "slot_wrap",
                         "stream_last_block_1byte", "stub_history"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    // Engine form: '\' separators, turned into the native ones by the seam.
    std::string base = std::string(VECTORS_DIR) + "\\" + name;
    std::ifstream manifest_file(native_path(base + ".json"));
    ASSERT_TRUE(manifest_file.good());
    std::stringstream text;
    text << manifest_file.rdbuf();
    std::string json = text.str();

    std::string path = base + ".exe";
    reset_archive_state();
    install_test_hooks();
    ASSERT_EQ(open_archive(path.c_str()), ready);
    EXPECT_TRUE(shown_boxes.empty());
    EXPECT_EQ(std::to_string(file_position()), preamble_field(json, "stream_offset"));
    EXPECT_EQ(std::to_string(archive.total_size), preamble_field(json, "total_size"));
    EXPECT_EQ(hex(archive.message_text, archive.message_text_length),
              preamble_field(json, "message_text_hex"));
    EXPECT_EQ(hex(archive.run_after, archive.run_after_length),
              preamble_field(json, "run_after_hex"));
    int flag = std::stoi(preamble_field(json, "password_flag_byte"));
    EXPECT_EQ(archive.password_flag, flag != 0);
    EXPECT_EQ(archive.password_masked ? "true" : "false", preamble_field(json, "password_masked"));
    EXPECT_EQ(archive.password_flag ? std::to_string(archive.check_value) : "null",
              preamble_field(json, "check_value"));
    platform_close(reader.archive_file);
    reader.archive_file = no_file;
  }
}
#endif
