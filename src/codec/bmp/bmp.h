// Reading the uncompressed 24- and 32-bit BMPs that nearly every program
// writes, with exactly the pixels stb's decoder gives for them, in a
// fraction of its time (it fetches every byte through its stream reader).
// Every other BMP, and every file the decoder would refuse, is left to the
// decoder.
#ifndef PIXTRIM_BMP_H
#define PIXTRIM_BMP_H

#include <cstdint>

#include "codec/load.h"

// Fills *image with a new malloc block of RGBA pixels when it returns
// PLAIN_DECODED (load.h).
plain_result bmp_decode_plain(const uint8_t *bytes, int32_t size, rgba_image *image);

#endif
