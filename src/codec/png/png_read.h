// Reading the 8-bit RGB and RGBA PNGs without interlacing that nearly every
// program writes, with exactly the pixels stb's decoder gives for them, in
// a fraction of its time (our inflater, and the rows unfiltered in place).
// Every other PNG, and every file stb might judge otherwise, is left to the
// decoder.
#ifndef PIXTRIM_PNG_READ_H
#define PIXTRIM_PNG_READ_H

#include <cstdint>

#include "codec/load.h"

// Fills *image with a new malloc block of RGBA pixels when it returns
// PLAIN_DECODED (load.h).
plain_result png_decode_plain(const uint8_t *bytes, int32_t size, rgba_image *image);

#endif
