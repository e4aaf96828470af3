// The extracting stub, padded to stub_size, as the build made it: what the tools put in front
// of every payload they write. Link the target vantrel_embedded_stub to get it.
#pragma once
#include <stdint.h>
#include "app/stub_size.h"

extern const uint8_t embedded_stub[stub_size];
// True in a tree built without the Windows side: then embedded_stub is all zero bytes and an
// archive written with it cannot run.
extern const bool embedded_stub_is_stand_in;
