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

// Where code signing writes in the stub's own header, so that the packer never copies those
// bytes and the reader finds the certificate table behind a signed archive. The 32-bit word at
// pe_header_offset gives the PE header ("PE\0\0"); the optional header follows it after
// pe_optional_header bytes. In the optional header: the checksum, and the certificate table's
// entry (its file offset, then its length) in the 32-bit or the 64-bit layout.
constexpr uint32_t pe_header_offset = 0x3C;
constexpr uint32_t pe_optional_header = 24;
constexpr uint32_t pe_checksum = 64;
constexpr uint32_t pe32_certificate_entry = 128;
constexpr uint32_t pe32_plus_certificate_entry = 144;
