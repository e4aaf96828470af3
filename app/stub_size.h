// The length of the extracting stub. An archive's payload starts at exactly this offset, and
// slot 0 of the decoder's dictionary is taken from the first bytes of the stub, so the stub,
// the engine and the tools must all agree on it. The stub's build pads the image to it.
#pragma once
#include <stdint.h>

constexpr int32_t stub_size = 26112;

// Where the archive starts within the running program's own file: at 0 in the stub. A build of
// the stub "at an offset" (VANTREL_IMAGE_OFFSET, set by the Windows build) is padded to that many
// bytes and followed by a whole archive, stub image and all, which it reads as the stub reads
// itself: the test builds use it for archives whose stub image is not a program and for the
// 64-bit build that stands in for the stub where 32-bit programs cannot run.
#ifndef VANTREL_IMAGE_OFFSET
#define VANTREL_IMAGE_OFFSET 0
#endif
constexpr int64_t stub_image_offset = VANTREL_IMAGE_OFFSET;
