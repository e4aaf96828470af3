// Stored names are untrusted: a name that could reach outside the destination, or that
// Windows would read differently from how it is stored, is refused before anything of its
// record is created.
#pragma once
#include <stdint.h>

// name: CP932 bytes as stored, without a folder entry's final "." (so "dir\" for "dir\.").
// Empty is allowed (the destination itself).
bool stored_name_is_safe(const uint8_t* name, int32_t length);
