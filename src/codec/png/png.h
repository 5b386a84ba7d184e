// Encoding one PNG: row filters, zlib stream and chunks, as stb_image_write
// writes them at compression level 8.
#ifndef PIXTRIM_PNG_H
#define PIXTRIM_PNG_H

#include <cstdint>
#include <cstdlib>

#include "codec/load.h"
#include "codec/png/deflate.h"

// The most filtered bytes (a filter byte per row, then the row) a PNG may
// hold: fixed-Huffman output can reach 9/8 of its input, and a PNG chunk
// holds less than 2 GiB, so the worst case is kept under 1 GiB.
constexpr int64_t kMaxPngFilteredBytes = (int64_t{1} << 30) / 9 * 8;

// stb's PNG writer compresses at this level.
constexpr int kPngCompressionLevel = 8;

// The PNG signature and IHDR chunk: every PNG we write starts with them.
constexpr size_t kPngHeadBytes = 8 + 12 + 13;

// A chunk's type as the big-endian number the file holds.
constexpr uint32_t chunk_type(const char (&name)[5]) {
    return uint32_t(uint8_t(name[0])) << 24 | uint32_t(uint8_t(name[1])) << 16 |
           uint32_t(uint8_t(name[2])) << 8 | uint32_t(uint8_t(name[3]));
}

// The Paeth filter's prediction from the bytes to the left (a), above (b)
// and above left (c).
inline uint8_t paeth(int a, int b, int c) {
    int p = a + b - c, pa = abs(p - a), pb = abs(p - b), pc = abs(p - c);
    if (pa <= pb && pa <= pc) return static_cast<uint8_t>(a);
    if (pb <= pc) return static_cast<uint8_t>(b);
    return static_cast<uint8_t>(c);
}

// The CRC-32 a PNG chunk ends with, over its type and data.
uint32_t png_crc(const uint8_t *bytes, size_t n);

// Stores a 32-bit value big-endian, as PNG and ICC headers hold them, and
// reads one back.
void put_be32(uint8_t *to, uint32_t value);
inline uint32_t get_be32(const uint8_t *from) {
    return uint32_t(from[0]) << 24 | uint32_t(from[1]) << 16 | uint32_t(from[2]) << 8 | from[3];
}

// mem_write for any length: false when the bytes did not all fit (the block
// could not grow, or count is past what one write takes).
bool mem_append(mem_sink *sink, const void *bytes, size_t count);

// Appends count bytes to the sink given as context, growing its block to 4096
// bytes and then by doubling. When the block cannot grow the bytes are dropped.
void mem_write(void *context, void *bytes, int count);

// Packs the RGB bytes of the first pixels of a row of RGBA pixels, as many
// as 32-byte stores allow without passing the packed row's end, and returns
// how many. Built for processors with AVX2 (png_avx2.cpp): call only where
// the compressor takes its AVX2 path.
size_t pack_rgb_avx2(const uint8_t *rgba, uint8_t *rgb, size_t width);

// Writes the PNG of the picture in a layout of 1 (grey: R), 2 (grey and
// alpha: R, A), 3 (RGB) or 4 (RGBA) channels under a filter mode (0-4 use
// that filter on every row, 5 picks one per row) into *out, which starts
// with size 0 (its block may have room). The file has the bytes
// stb_image_write's PNG writer gives for the same layout and mode, without
// a copy of the picture or of the filtered rows: rows are filtered as the
// compressor reads them.
//
// Only a file of at most max_size bytes is finished: false, as soon as it
// is certain the file would be larger, when memory runs out, or when the
// filtered rows exceed kMaxPngFilteredBytes. The block in *out, and the
// compressor's working memory in scratch, are the caller's to release
// either way; both may be kept for the next encoding.
bool png_encode(const rgba_image *image, int channels, int filter_mode, uint64_t max_size,
                mem_sink *out, zlib_scratch *scratch);

#endif
