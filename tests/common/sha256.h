// SHA-256, for comparing extracted files with the digests the reference manifests give.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <string>

struct sha256_state {
  uint32_t h[8];
  uint8_t buffer[64];
  size_t buffered;
  uint64_t total;
};

void sha256_start(sha256_state& s);
void sha256_add(sha256_state& s, const void* data, size_t length);
// The digest as 64 lower-case hexadecimal digits.
std::string sha256_finish_hex(sha256_state& s);
std::string sha256_hex(const void* data, size_t length);
