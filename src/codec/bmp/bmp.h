// Reading the uncompressed 24- and 32-bit BMPs that nearly every program
// writes, with exactly the pixels stb's decoder gives for them, in a
// fraction of its time (it fetches every byte through its stream reader).
// Every other BMP, and every file the decoder would refuse, is left to the
// decoder.
#ifndef PIXTRIM_BMP_H
#define PIXTRIM_BMP_H

#include <cstdint>

#include "codec/load.h"

// The decoder refuses BMPs with a longer side.
constexpr int64_t kBmpMaxSide = int64_t{1} << 24;

enum bmp_result { BMP_DECODED, BMP_NOT_PLAIN, BMP_NO_MEMORY };

// BMP_DECODED fills *image with a new malloc block of RGBA pixels. The other
// results leave *image untouched: BMP_NOT_PLAIN for any file this reader
// does not take, BMP_NO_MEMORY when the pixel block cannot be allocated.
bmp_result bmp_decode_plain(const uint8_t *bytes, int32_t size, rgba_image *image);

#endif
