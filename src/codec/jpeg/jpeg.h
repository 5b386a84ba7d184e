// Encoding one baseline JPEG with the bytes stb_image_write's JPEG writer
// gives for the picture's RGB composited onto white: its headers and tables,
// its float colour conversion and DCT, its rounding and its Huffman coding.
// The work splits in two: converting and transforming the picture, which
// does not depend on the quality, and quantising and coding, which does.
#ifndef PIXTRIM_JPEG_H
#define PIXTRIM_JPEG_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "codec/load.h"

// JPEG_BAD_INPUT: a side is 0 or past the 65535 the frame header can hold,
// or coefficients are coded at a quality of the other chroma mode.
enum jpeg_result { JPEG_OK, JPEG_NO_MEMORY, JPEG_WRITE_FAILED, JPEG_BAD_INPUT };

// Chroma is averaged over 2x2 pixels (4:2:0) at qualities up to 90 and kept
// whole (4:4:4) above, as stb chooses.
bool jpeg_subsamples(int quality);

// The transformed picture for one chroma mode: DCT outputs before
// quantisation, 64 floats a block, blocks in the order the scan codes them.
// 4:2:0 holds 6 bytes a pixel, 4:4:4 12 (plus the edge blocks' padding).
struct jpeg_coefficients {
    int32_t width;
    int32_t height;
    bool subsample;
    size_t block_count;
    float *blocks;  // malloc block, null when empty
};

// Converts and transforms the whole picture for one chroma mode into *out;
// on failure *out is left empty.
jpeg_result jpeg_transform(const rgba_image *image, bool subsample, jpeg_coefficients *out);

// Releases the blocks and leaves *coefficients empty.
void jpeg_release(jpeg_coefficients *coefficients);

// Quantises and codes transformed blocks at a quality whose chroma mode
// they were made for, writing the whole file to file. Whole segments the
// file carries (a colour profile's) go right after the JFIF APP0 segment.
jpeg_result jpeg_write_coefficients(FILE *file, const jpeg_coefficients *coefficients,
                                    int quality, const uint8_t *segments = nullptr,
                                    size_t segments_size = 0);

// The whole encode of a picture at a quality, one row of blocks at a time,
// so the memory it needs stays small; segments as above.
jpeg_result jpeg_encode_file(FILE *file, const rgba_image *image, int quality,
                             const uint8_t *segments = nullptr, size_t segments_size = 0);

#endif
