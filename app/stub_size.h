// The length of the extracting stub. An archive's payload starts at exactly this offset, and
// slot 0 of the decoder's dictionary is taken from the first bytes of the stub, so the stub,
// the engine and the tools must all agree on it. The stub's build pads the image to it.
#pragma once
#include <stdint.h>

constexpr int32_t stub_size = 26112;
