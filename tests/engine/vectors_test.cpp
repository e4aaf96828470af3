// Acceptance over the reference archives of an independent writer: every case of every
// manifest is extracted through the member loop, and the files, folders and members it
// leaves are compared with the manifest. Cases that end the process (damage) run in a
// death test; the child logs each completed member to a file beside the destination.
#include <gtest/gtest.h>

#include <stdio.h>

#include <algorithm>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/archive.h"
#include "engine/block_reader.h"
#include "engine/lz_decoder.h"
#include "engine/member_loop.h"
#include "platform/platform.h"
#include "tests/common/json_lite.h"
#include "tests/common/sha256.h"
#include "tests/common/test_support.h"
#include "tests/common/vectors.h"
#include "tests/engine/extraction_helpers.h"

using namespace extraction;

namespace {

std::string slurp(const std::string& native_file) {
  std::ifstream f(native_file, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

bool load_json(const std::string& native_file, json_value& out) {
  std::string error;
  std::string text = slurp(native_file);
  return !text.empty() && json_parse(text, out, error);
}

std::vector<uint8_t> from_hex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::string to_hex(const uint8_t* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

// One case of one manifest; an empty vector name stands for "no reference archives here".
struct vector_case {
  std::string vector;
  size_t index;
};

void PrintTo(const vector_case& c, std::ostream* os) { *os << c.vector << " case " << c.index; }

std::vector<vector_case> all_cases() {
  std::vector<vector_case> out;
  json_value index;
  std::string dir = vectors_folder();
  if (!dir.empty() && load_json(dir + "/index.json", index)) {
    for (const json_value& v : index["vectors"].items) {
      json_value manifest;
      std::string name = v["vector"].text;
      if (!load_json(dir + "/" + name + ".json", manifest)) {
        out.push_back({name, size_t(-1)});  // reported as a failure by the test
        continue;
      }
      for (size_t i = 0; i < manifest["cases"].size(); i++) out.push_back({name, i});
    }
  }
  if (out.empty()) out.push_back({"", 0});
  return out;
}

// What member_done saw of a member, one line of text so that a death test's child can hand
// it to the parent through a file.
struct seen_member {
  std::string kind, stored_hex, path;
  int64_t size = 0, delta = 0, reference_slot = 0, shared = 0, history = 0, slot = 0;
  uint64_t creation = 0, access = 0, write = 0;
  bool written = false;
  std::string pieces, sha;

  std::string line() const {
    std::ostringstream o;
    o << kind << '\t' << stored_hex << '\t' << path << '\t' << size << '\t' << delta << '\t'
      << reference_slot << '\t' << shared << '\t' << history << '\t' << slot << '\t'
      << creation << '\t' << access << '\t' << write << '\t' << written << '\t' << pieces
      << '\t' << sha;
    return o.str();
  }
  static seen_member parse(const std::string& line) {
    seen_member m;
    std::istringstream i(line);
    std::getline(i, m.kind, '\t');
    std::getline(i, m.stored_hex, '\t');
    std::getline(i, m.path, '\t');
    i >> m.size >> m.delta >> m.reference_slot >> m.shared >> m.history >> m.slot >>
        m.creation >> m.access >> m.write >> m.written;
    i.get();
    std::getline(i, m.pieces, '\t');
    std::getline(i, m.sha);
    return m;
  }
};

std::string member_log;          // native path of the log file
std::string pieces_so_far;       // sizes of the writes since the last member, "a,b,c"
sha256_state content_hash;

void observe_write(file_handle, const void* buffer, int32_t count) {
  if (!pieces_so_far.empty()) pieces_so_far += ',';
  pieces_so_far += std::to_string(count);
  sha256_add(content_hash, buffer, size_t(count));
}

void log_member(const member_info& info) {
  seen_member m;
  m.kind = info.is_folder ? "folder" : "file";
  m.stored_hex = to_hex(info.stored_name, size_t(info.stored_name_length));
  m.path = info.name;
  for (char& c : m.path)
    if (c == '\\') c = '/';
  if (!info.is_folder) {
    m.size = info.size;
    m.delta = decoder.reference_delta;
    m.reference_slot = decoder.reference_slot;
    m.shared = decoder.shared_length;
    m.history = decoder.history_length;
    m.slot = (decoder.table.current_slot + slot_count - 1) % slot_count;
    m.creation = info.creation_time;
    m.access = info.last_access_time;
    m.write = info.last_write_time;
    m.written = info.written;
    m.pieces = pieces_so_far;
    m.sha = sha256_finish_hex(content_hash);
  }
  pieces_so_far.clear();
  sha256_start(content_hash);
  std::ofstream f(member_log, std::ios::app | std::ios::binary);
  f << m.line() << '\n';
}

std::vector<seen_member> read_log() {
  std::vector<seen_member> out;
  std::ifstream f(member_log, std::ios::binary);
  std::string line;
  while (std::getline(f, line))
    if (!line.empty()) out.push_back(seen_member::parse(line));
  return out;
}

int answer_of(const std::string& overwrite) {
  if (overwrite == "no") return id_no;
  if (overwrite == "cancel") return id_cancel;
  return id_yes;
}

void run_extraction(const std::string& archive_path, const std::string& dest,
                    const std::vector<uint8_t>& password, int answer) {
  if (!open_for_test(archive_path)) platform_exit(9);
  if (archive.password_flag) set_archive_password(password.data(), int32_t(password.size()));
  scripted_answers.assign(100000, answer);
  extract_mode.member_done = log_member;
  pieces_so_far.clear();
  sha256_start(content_hash);
  platform_set_write_hook(observe_write);
  extract_archive(dest.c_str());
  platform_set_write_hook(nullptr);
}

std::string pieces_of(const json_value& list) {
  std::string s;
  for (const json_value& p : list.items) {
    if (!s.empty()) s += ',';
    s += std::to_string(p.integer);
  }
  return s;
}

void compare_members(const json_value& expected, const std::vector<seen_member>& seen) {
  EXPECT_EQ(seen.size(), expected.size()) << "members completed";
  for (size_t i = 0; i < seen.size() && i < expected.size(); i++) {
    const json_value& e = expected.at(i);
    const seen_member& m = seen[i];
    SCOPED_TRACE("member " + std::to_string(i) + " " + e["path"].text);
    EXPECT_EQ(m.kind, e["kind"].text);
    EXPECT_EQ(m.stored_hex, e["stored_name_hex"].text);
    if (e["kind"].text != "file") continue;
    EXPECT_EQ(m.path, e["path"].text);
    EXPECT_EQ(m.size, e["size"].integer);
    // reference_delta 0 stands for 1 with nothing shared; the decoder keeps the 1.
    EXPECT_EQ(m.delta, e["reference_delta"].integer == 0 ? 1 : e["reference_delta"].integer);
    EXPECT_EQ(m.reference_slot, e["reference_slot"].integer);
    EXPECT_EQ(m.shared, e["shared_length"].integer);
    EXPECT_EQ(m.history, e["history_length"].integer);
    EXPECT_EQ(m.slot, e["slot"].integer);
    EXPECT_EQ(m.creation, uint64_t(e["creation_time"].integer));
    EXPECT_EQ(m.access, uint64_t(e["last_access_time"].integer));
    EXPECT_EQ(m.write, uint64_t(e["last_write_time"].integer));
    EXPECT_EQ(m.written, e["action"].text == "written");
    if (e["action"].text == "written") {
      EXPECT_EQ(m.pieces, pieces_of(e["pieces"]));
      EXPECT_EQ(m.sha, e["sha256"].text);
    }
  }
}

void compare_disk(const json_value& c, const std::string& dest) {
  std::vector<std::string> expected_entries;
  for (const auto& f : c["files"].members) expected_entries.push_back(f.first);
  for (const json_value& d : c["folders"].items) expected_entries.push_back(d.text + "/");
  std::sort(expected_entries.begin(), expected_entries.end());
  // Each expected entry is there, of its kind, through the seam (which takes long paths);
  // and nothing else is.
  for (const std::string& e : expected_entries) {
    std::string path = dest + e;
    for (char& ch : path)
      if (ch == '/') ch = '\\';
    bool folder = path.back() == '\\';
    if (folder) path.pop_back();
    EXPECT_EQ(platform_look_up(path.c_str()), folder ? entry_folder : entry_other) << e;
  }
  for (const std::string& listed : list_tree(dest))
    EXPECT_TRUE(std::binary_search(expected_entries.begin(), expected_entries.end(), listed))
        << "unexpected " << listed;
  for (const auto& f : c["files"].members) {
    SCOPED_TRACE("file " + f.first);
    std::string path = dest + f.first;
    for (char& ch : path)
      if (ch == '/') ch = '\\';
    std::vector<uint8_t> content = read_file(path);
    EXPECT_EQ(int64_t(content.size()), f.second["size"].integer);
    EXPECT_EQ(sha256_hex(content.data(), content.size()), f.second["sha256"].text);
    EXPECT_TRUE(same_file_time(last_write_filetime(path),
                               uint64_t(f.second["last_write_time"].integer)))
        << last_write_filetime(path);
  }
}

void compare_preamble(const json_value& p) {
  if (p.is_null()) return;
  EXPECT_EQ(to_hex(archive.message_text, size_t(archive.message_text_length)),
            p["message_text_hex"].text);
  EXPECT_EQ(to_hex(archive.run_after, size_t(archive.run_after_length)), p["run_after_hex"].text);
  int64_t flag = p["password_flag_byte"].integer;
  EXPECT_EQ(archive.password_flag, flag != 0);
  if (flag != 0) {
    EXPECT_EQ(archive.password_masked, (flag & 1) != 0);
    EXPECT_EQ(int64_t(archive.check_value), p["check_value"].integer);
  }
  EXPECT_EQ(int64_t(archive.total_size), p["total_size"].integer);
  EXPECT_EQ(platform_file_position(reader.archive_file), p["stream_offset"].integer);
}

class ReferenceVector : public testing::TestWithParam<vector_case> {};

TEST_P(ReferenceVector, ExtractsAsTheManifestSays) {
  const vector_case& vc = GetParam();
  if (vc.vector.empty()) {
    if (!vectors_present()) return;
    FAIL() << vectors_folder() << "/index.json lists no reference archives, or does not parse";
  }
  ASSERT_NE(vc.index, size_t(-1)) << "manifest of " << vc.vector << " unreadable";
  std::string dir = vectors_folder();
  json_value manifest;
  ASSERT_TRUE(load_json(dir + "/" + vc.vector + ".json", manifest));
  const json_value& c = manifest["cases"].at(vc.index);
  const std::string expect = c["expect"].text;

  // The archive's path in the engine's form; the folder's own separators are '/' here.
  std::string archive_path = dir + "/" + manifest["file"].text;
  for (char& ch : archive_path)
    if (ch == '/') ch = '\\';
  std::string tag = "vector_" + vc.vector + "_" + std::to_string(vc.index);
  std::string root = stable_temp_folder(tag.c_str());
  std::string dest = root + "dest\\";
  member_log = native_path(root + "members.log");
  remove(member_log.c_str());
  remove_tree(dest);
  std::filesystem::create_directories(fs_path(dest));
  for (const auto& f : c["pre_existing"].members) {
    std::string path = dest + f.first;
    for (char& ch : path)
      if (ch == '/') ch = '\\';
    std::filesystem::create_directories(fs_path(path).parent_path());
    write_file(path, from_hex(f.second.kind == json_value::string_kind ? f.second.text
                                                                      : f.second["hex"].text));
  }

  ASSERT_TRUE(open_for_test(archive_path));
  compare_preamble(c["preamble"]);
  std::vector<uint8_t> password = from_hex(c["password_hex"].text);
  if (archive.password_flag) {
    bool matches = password_matches(password.data(), int32_t(password.size()));
    EXPECT_EQ(matches, expect != "wrong_password");
    if (!matches) {
      // The main window refuses the run: nothing is extracted.
      platform_close(reader.archive_file);
      compare_disk(c, dest);
      EXPECT_EQ(c["members"].size(), 0u);
      remove_tree(root);
      return;
    }
  } else {
    EXPECT_NE(expect, "wrong_password") << "the archive has no password";
  }
  platform_close(reader.archive_file);
  reader.archive_file = no_file;

  int answer = answer_of(c["overwrite"].text);
  if (expect == "success" || expect == "cancelled") {
    run_extraction(archive_path, dest, password, answer);
    EXPECT_EQ(cancel_requested != 0, expect == "cancelled");
  } else {
    // Damage of any kind ends the process through the stub's fail_run with exit code 1.
    EXPECT_EXIT(
        {
          run_extraction(archive_path, dest, password, answer);
          platform_exit(0);
        },
        testing::ExitedWithCode(1), "")
        << expect;
  }
  compare_disk(c, dest);
  compare_members(c["members"], read_log());
  remove_tree(root);
}

INSTANTIATE_TEST_SUITE_P(Vectors, ReferenceVector, testing::ValuesIn(all_cases()),
                         [](const testing::TestParamInfo<vector_case>& i) {
                           if (i.param.vector.empty()) return std::string("none");
                           return i.param.vector + "_" + std::to_string(i.param.index);
                         });

}  // namespace
