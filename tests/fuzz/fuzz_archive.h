// The archive a fuzzing input stands for, shared by the harnesses that read archives
// (extract_fuzz.cpp, list_fuzz.cpp), so that both take the same seeds (scripts/fuzz.sh).
//
// The first byte of an input chooses its form:
// - even: the rest is the content of the block stream (member records and coded data),
//   stored behind a plain preamble in sound blocks, so that mutations reach the records and
//   the decoder instead of failing a block's check;
// - odd: the rest is the payload as stored after the stub (total size, preamble, blocks),
//   with the total size set to the real one.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <vector>

// A stub image of stub_size bytes that is not a program (the reference archives use one too).
const std::vector<uint8_t>& stand_in_stub();

// The whole file (stub, total size, preamble, blocks) for an input; empty when the input is
// too short or too long to stand for one. In the content form a non-empty password is stored
// in the preamble and scrambles the blocks.
std::vector<uint8_t> archive_of_input(const uint8_t* data, size_t size,
                                      const std::vector<uint8_t>& password = {});

// Writes the file at path; false when it cannot.
bool write_whole_file(const char* path, const std::vector<uint8_t>& file);
