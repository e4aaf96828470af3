// Combined files for tests: a stub image, total_size, the preamble and a block stream made
// from given stream data bytes, built with the packer's own block and preamble writers. Plus
// the ways to damage one, by stream data offset or by block, so that tests of every layer
// can say "flip bit 3 of stream byte 5000" without redoing the block arithmetic.
//
// Offsets: a "file offset" counts from the start of the combined file; a "stream offset"
// counts data bytes of the block stream from 0, over all blocks, check bytes not counted
// (the block reader's stream_position).
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

struct archive_recipe {
  std::vector<uint8_t> stub;           // empty: test_stub_image(); otherwise exactly 26112 bytes
  std::vector<uint8_t> message_text;   // CP932
  std::vector<uint8_t> run_after;      // CP932
  // With a password: the flag byte stored (bit 0: masked; 0 means 2). Ignored without one.
  uint8_t password_flag = 0;
  std::vector<uint8_t> password;       // CP932; non-empty: scrambled, flag byte nonzero
  std::vector<uint8_t> stream;         // the raw stream data bytes (member records and bodies)
  // Non-empty: written instead of the preamble (after total_size), byte for byte, for shapes
  // the writer refuses (over-long texts, odd flags, a file that ends inside the preamble).
  // The stream is still scrambled with `password`.
  std::vector<uint8_t> raw_preamble;
};

struct built_archive {
  std::vector<uint8_t> bytes;          // the whole combined file, total_size patched
  size_t stream_offset = 0;            // file offset of the first block
  size_t stream_length = 0;            // data bytes in the stream (recipe.stream.size())
};

built_archive build_archive(const archive_recipe& recipe);
// Shorthand: default stub, empty texts, optional password (flag 2 when set).
built_archive build_archive(const std::vector<uint8_t>& stream,
                            const std::vector<uint8_t>& password = {});

// File offset of stream byte `stream_offset` / of block `block`'s first byte (0-based) /
// of the first of block `block`'s two check bytes (high byte of the CRC).
size_t stream_byte_file_offset(const built_archive& a, size_t stream_offset);
size_t block_file_offset(const built_archive& a, size_t block);
size_t check_bytes_file_offset(const built_archive& a, size_t block);
// Number of blocks in the stream.
size_t block_count(const built_archive& a);

// Damage. None of these touch total_size (so the length check still passes) except where
// said; combine with set_total_size to make a length match or mismatch on purpose.
// Flips bit `bit` (0 = least significant) of the stored stream byte at stream_offset.
void flip_stream_bit(built_archive& a, size_t stream_offset, int bit);
// Flips bit `bit` of check byte `which` (0: high byte, 1: low byte) of block `block`.
void flip_check_bit(built_archive& a, size_t block, int which, int bit);
// Cuts the file to `length` bytes; total_size is patched to match when keep_total is false.
void truncate_archive(built_archive& a, size_t length, bool keep_total = false);
// Appends bytes at the end (a further partial block, say); total_size patched unless kept.
void append_bytes(built_archive& a, const std::vector<uint8_t>& extra, bool keep_total = false);
// Stores any value as total_size (bit 31 set makes it negative).
void set_total_size(built_archive& a, uint32_t value);
// Replaces a block's two check bytes with the CRC-16 of its data as stored (scrambled), the
// mistake of a writer that checks what it wrote instead of what it meant.
void check_over_stored_data(built_archive& a, size_t block);

// Writes the bytes to `folder` (engine form, ending in '\', e.g. from make_temp_folder) under
// `name`; returns the file's path in engine form, ready for open_archive(path).
std::string save_archive(const std::vector<uint8_t>& bytes, const std::string& folder,
                         const char* name = "archive.exe");

// ---- Opening and dying under test ---------------------------------------------------------
#include "app/archive.h"

// Saves the archive in a fresh temp folder, resets the process-wide state
// (reset_archive_state), sets main_window to `owner` and opens it with open_archive. The destructor closes archive_file
// if it is still open and removes the folder. A failure inside open_archive ends the process
// like anywhere else, so wrap the construction in EXPECT_EXIT where that is the point.
struct opened_archive {
  std::string folder;
  std::string path;
  open_result result;
  explicit opened_archive(const std::vector<uint8_t>& bytes, void* owner = nullptr,
                          const char* tag = "archive");
  ~opened_archive();
  opened_archive(const opened_archive&) = delete;
  opened_archive& operator=(const opened_archive&) = delete;
};

// A path in the run's root folder (temp_root_path) that depends only on `name`: the same in
// a death test's child, which on Windows is a fresh run of the test program (engine form).
std::string fixed_temp_path(const char* name);

// For death tests: message boxes are answered like install_test_hooks does, and each is also
// written to stderr as one line, which EXPECT_EXIT can match:
//   BOX <text> owned=<0|1> flags=<decimal> caption=<ok|wrong>
// where <text> is read_failed, write_failed, corrupted, file_smaller, file_larger or
// "other:" and the text, and caption is ok when it is the program title. Status lines go
// to stderr as "STATUS <text>". Also clears shown_boxes and status_lines.
void install_reporting_hooks();
