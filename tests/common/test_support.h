// Helpers shared by the tests of every layer. They use only the standard library, gtest and the
// platform seam, so that the same tests build for Windows and run under Wine.
#pragma once
#include <stdint.h>
#include <string>
#include <vector>

// A fresh empty folder for one test; returns its path in the engine's form (UTF-8, '\'
// separators, ending in '\'). It lies in the run's root folder (below), so it goes with the
// root even when remove_tree never gets to it.
std::string make_temp_folder(const char* tag);
// The folder that holds everything the tests of one run of the test program make (engine
// form, no '\' at the end). The first process of the run makes it and removes it when the
// run ends, unless a test failed; a death test's child uses the same one and leaves it be.
std::string temp_root_path();
// Engine form ('\' separators) to the form std::filesystem and the C library take here.
std::string native_path(const std::string& engine_path);
void remove_tree(const std::string& engine_path);

void write_file(const std::string& engine_path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> read_file(const std::string& engine_path);
bool file_exists(const std::string& engine_path);
bool folder_exists(const std::string& engine_path);

// A deterministic pseudo-random stub image of 26112 bytes (as the reference archives use a
// stand-in stub, tests need no real program).
std::vector<uint8_t> test_stub_image(uint32_t seed = 1);
// Deterministic pseudo-random bytes.
std::vector<uint8_t> random_bytes(size_t n, uint32_t seed);

// CP932 bytes of a UTF-8 literal, for Japanese names and passwords in tests.
std::vector<uint8_t> cp932(const char* utf8);

// Message boxes under test: every box shown is recorded, and answered from a script (the
// front of `answers` first; when it is empty, id_ok / id_yes).
struct recorded_box {
  bool owned;
  std::string caption;
  std::string text;     // UTF-8
  unsigned flags;
};
extern std::vector<recorded_box> shown_boxes;
extern std::vector<int> scripted_answers;
// The recording box hook itself, for hooks that do more (print) before they answer.
int record_box(void* owner, const char* caption, const char* text, unsigned flags);
// Installs the recording hooks for boxes and status lines (and clears both lists).
void install_test_hooks();
extern std::vector<std::string> status_lines;
