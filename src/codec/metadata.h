// What an input file says about how its pixels are shown: the orientation
// to turn them upright, the colour profile and PNG's colour chunks. All else
// an input carries (camera fields, GPS, thumbnails, text) is never read.
#ifndef PIXTRIM_METADATA_H
#define PIXTRIM_METADATA_H

#include <cstddef>
#include <cstdint>

#include "codec/load.h"
#include "codec/png/deflate.h"

// The largest PNG colour profile we inflate; larger real profiles are CMYK
// ones, which an RGB picture cannot use anyway.
constexpr size_t kMaxInflatedProfile = size_t{4} << 20;

// What an output must carry to look like its input. Blocks are malloc
// blocks, null when empty; release_metadata frees them.
struct image_metadata {
    int orientation;   // Exif value 1-8: 1 when absent or malformed
    uint8_t *profile;  // a usable ICC profile ('RGB ' or 'GRAY'), whole
    size_t profile_size;
    bool profile_grey;
    // A PNG input's own iCCP, sRGB, gAMA, cHRM and cICP chunks (length,
    // type, data, CRC), in the input's order; the iCCP among them, if any,
    // at png_iccp_at for png_iccp_size bytes.
    uint8_t *png_chunks;
    size_t png_chunks_size;
    size_t png_iccp_at;
    size_t png_iccp_size;
    // The input file as read, from load_rgba when the picture needed no
    // turn: its own encoding may be the smallest output (own_encoding).
    uint8_t *input;
    size_t input_size;
};

// Reads what a JPEG (its segments before the first scan) or PNG (its chunks
// before the first IDAT, the first of each type, with a right CRC) says.
// Anything malformed reads as absent; when memory runs out the profile and
// chunks are left out. *out starts empty, and is the caller's to release.
void read_metadata(const uint8_t *bytes, size_t size, image_format format, image_metadata *out);

// The input's own encoding as a candidate output of the same format and
// the same picture, rewritten with only what an output keeps: a PNG's image
// chunks, the colour chunks that count and an iCCP that fits its colour
// type; a JPEG's SOI, JFIF APP0, colour profile and APP14 segments, its
// other non-APP segments, and the rest through the EOI that ends the image
// data. Returns its size, or 0 when there is none. Without out it only
// sizes it (no checksums read); with out it appends it there and also
// requires a right CRC on every PNG chunk it copies.
size_t own_encoding(const image_metadata &metadata, image_format format, mem_sink *out);

// Releases the input file alone, once its own encoding cannot compete.
void release_input(image_metadata *metadata);

void release_metadata(image_metadata *metadata);

// For a std::unique_ptr that releases what it holds.
struct metadata_releaser {
    void operator()(image_metadata *metadata) const { release_metadata(metadata); }
};

// The orientation alone, for loads that carry nothing.
int read_orientation(const uint8_t *bytes, size_t size, image_format format);

#endif
