#include "codec/png/png_read.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "codec/memory.h"
#include "codec/png/deflate.h"
#include "codec/png/inflate.h"
#include "codec/png/png.h"

namespace {

using byte_block = std::unique_ptr<uint8_t, decltype(&free)>;

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr int64_t kChunkFrame = 12;             // length, type, CRC
constexpr int kRgb = 2, kRgba = 6;              // colour types

struct chunk_view {
    uint32_t type;
    const uint8_t *data;
    int64_t length;
};

// The chunk at at, when its header, data and CRC are all in the file; for
// IEND, where the decoder stops, the header is enough.
bool chunk_at(const uint8_t *bytes, int64_t size, int64_t at, chunk_view *c) {
    if (size - at < 8) return false;
    c->length = get_be32(bytes + at);
    c->type = get_be32(bytes + at + 4);
    c->data = bytes + at + 8;
    return c->type == chunk_type("IEND") || c->length <= size - at - kChunkFrame;
}

// Chunks whose type starts with an upper-case letter; the decoder refuses
// those it does not know, and skips the others.
bool is_critical(uint32_t type) { return !(type & (uint32_t{1} << 29)); }

struct plain_png {
    int64_t width, height;
    int channels;
    int64_t data_bytes;         // of the zlib stream, over all IDAT chunks
    const uint8_t *first_data;  // of the first IDAT chunk
    int64_t first_data_bytes;
};

// True for the files the decoder reads as 8-bit RGB or RGBA rows without
// interlacing and decodes as such: the header first, then only image data,
// a well-formed palette (which RGB files may suggest) and ancillary chunks
// other than transparency, up to IEND.
bool plain_png_of(const uint8_t *bytes, int32_t size, plain_png *p) {
    if (size < 8 || memcmp(bytes, kSignature, 8) != 0) return false;
    chunk_view c;
    int64_t at = 8;
    if (!chunk_at(bytes, size, at, &c) || c.type != chunk_type("IHDR") || c.length != 13)
        return false;
    p->width = get_be32(c.data);
    p->height = get_be32(c.data + 4);
    int depth = c.data[8], colour = c.data[9];
    bool plain_methods =
        !c.data[10] && !c.data[11] && !c.data[12];  // compression, filter, interlace
    if (depth != 8 || (colour != kRgb && colour != kRgba) || !plain_methods) return false;
    p->channels = colour == kRgb ? 3 : 4;
    if (p->width < 1 || p->height < 1 || p->width > kDecoderMaxSide ||
        p->height > kDecoderMaxSide || (1 << 30) / p->width / p->channels < p->height)
        return false;

    p->data_bytes = 0;
    for (at += kChunkFrame + c.length; chunk_at(bytes, size, at, &c);
         at += kChunkFrame + c.length) {
        if (c.type == chunk_type("IEND")) return p->data_bytes > 0;
        if (c.type == chunk_type("IDAT")) {
            if (p->data_bytes == 0) p->first_data = c.data, p->first_data_bytes = c.length;
            p->data_bytes += c.length;
        } else if (c.type == chunk_type("PLTE")) {
            if (c.length > 3 * 256 || c.length % 3) return false;
        } else if (is_critical(c.type) || c.type == chunk_type("tRNS"))
            return false;
    }
    return false;
}

enum row_filter { NONE, SUB, UP, AVERAGE, PAETH };

// A pixel's bytes side by side in a word, added and averaged bytewise.
uint32_t add_bytes(uint32_t x, uint32_t y) {
    return ((x & 0x7F7F7F7F) + (y & 0x7F7F7F7F)) ^ ((x ^ y) & 0x80808080);
}
uint32_t mean_bytes(uint32_t x, uint32_t y) { return (x & y) + ((x ^ y) >> 1 & 0x7F7F7F7F); }
void load_pixel(const uint8_t *p, uint32_t *v) { memcpy(v, p, 4); }
uint32_t pixel_bits(uint32_t v) { return v; }

#ifdef __SSE2__
// The same in the low bytes of an SSE2 register.
__m128i add_bytes(__m128i x, __m128i y) { return _mm_add_epi8(x, y); }
// pavgb rounds up: one less where the two bytes' lowest bits differ.
__m128i mean_bytes(__m128i x, __m128i y) {
    return _mm_sub_epi8(_mm_avg_epu8(x, y), _mm_and_si128(_mm_xor_si128(x, y), _mm_set1_epi8(1)));
}
void load_pixel(const uint8_t *p, __m128i *v) {
    int32_t bits;
    memcpy(&bits, p, 4);
    *v = _mm_cvtsi32_si128(bits);
}
uint32_t pixel_bits(__m128i v) { return uint32_t(_mm_cvtsi128_si32(v)); }
#endif

// The sub and average filters undone a pixel at a time (a fourth byte read
// past an RGB pixel is not stored).
template <int kBpp, typename Pixel>
void unfilter_from_left(int filter, uint8_t *row, const uint8_t *prior, int64_t n) {
    Pixel left = {}, above = {}, raw;
    for (int64_t i = 0; i < n; i += kBpp) {
        if (prior) load_pixel(prior + i, &above);
        load_pixel(row + i, &raw);
        left = add_bytes(raw, filter == AVERAGE ? mean_bytes(left, above) : left);
        uint32_t bits = pixel_bits(left);
        memcpy(row + i, &bits, kBpp);
    }
}

template <typename Pixel>
void unfilter_from_left(int filter, uint8_t *row, const uint8_t *prior, int64_t n, int bpp) {
    if (bpp == 3)
        unfilter_from_left<3, Pixel>(filter, row, prior, n);
    else
        unfilter_from_left<4, Pixel>(filter, row, prior, n);
}

// Undoes a row's filter in place. prior is the row above, already
// unfiltered; null for the first row, where it reads as zeros. The row
// must be followed by a readable byte. wide takes SSE2 registers.
void unfilter(int filter, uint8_t *row, const uint8_t *prior, int64_t n, int bpp, bool wide) {
    switch (filter) {
    case SUB:
    case AVERAGE:
#ifdef __SSE2__
        if (wide) {
            unfilter_from_left<__m128i>(filter, row, prior, n, bpp);
            break;
        }
#endif
        unfilter_from_left<uint32_t>(filter, row, prior, n, bpp);
        break;
    case UP:
        if (prior)
            for (int64_t i = 0; i < n; ++i) row[i] += prior[i];
        break;
    case PAETH:
        if (!prior) {
            unfilter(SUB, row, prior, n, bpp, wide);
            break;
        }
        for (int64_t i = 0; i < bpp; ++i) row[i] += prior[i];
        for (int64_t i = bpp; i < n; ++i) row[i] += paeth(row[i - bpp], prior[i], prior[i - bpp]);
        break;
    }
}

void rgb_to_rgba(const uint8_t *in, uint8_t *out, int64_t width) {
    for (int64_t x = 0; x < width; ++x, in += 3, out += 4) {
        out[0] = in[0];
        out[1] = in[1];
        out[2] = in[2];
        out[3] = 255;
    }
}

}  // namespace

plain_result png_decode_plain(const uint8_t *bytes, int32_t size, rgba_image *image) {
    plain_png p;
    if (!plain_png_of(bytes, size, &p)) return NOT_PLAIN;

    // The zlib stream, gathered from its chunks unless one holds it all with
    // room to read past it in the file (its CRC and IEND, at least).
    const uint8_t *stream = p.first_data;
    byte_block gathered(nullptr, free);
    if (p.first_data_bytes != p.data_bytes ||
        bytes + size - (stream + p.data_bytes) < int64_t(kInflateReadSlack)) {
        gathered.reset(
            static_cast<uint8_t *>(allocate_large(size_t(p.data_bytes) + kInflateReadSlack)));
        if (!gathered) return PLAIN_NO_MEMORY;
        uint8_t *to = gathered.get();
        chunk_view c;
        for (int64_t at = 8; chunk_at(bytes, size, at, &c) && c.type != chunk_type("IEND");
             at += kChunkFrame + c.length)
            if (c.type == chunk_type("IDAT")) {
                memcpy(to, c.data, size_t(c.length));
                to += c.length;
            }
        memset(to, 0, kInflateReadSlack);
        stream = gathered.get();
    }

    // Each row is its filter byte and then its bytes.
    int64_t row_bytes = p.width * p.channels, stride = row_bytes + 1;
    size_t filtered = size_t(stride * p.height);
    byte_block rows(static_cast<uint8_t *>(allocate_large(filtered + kInflateWriteSlack)), free);
    if (!rows) return PLAIN_NO_MEMORY;
    if (!inflate_exact(stream, size_t(p.data_bytes), rows.get(), filtered)) return NOT_PLAIN;
    gathered.reset();

    byte_block pixels(static_cast<uint8_t *>(allocate_large(size_t(p.width * p.height * 4))), free);
    if (!pixels) return PLAIN_NO_MEMORY;
    // The compressor's scalar switch keeps the reader to plain words too.
    bool wide = zlib_current_path() != ZLIB_SCALAR;
    const uint8_t *prior = nullptr;
    for (int64_t y = 0; y < p.height; ++y) {
        uint8_t *row = rows.get() + y * stride;
        if (row[0] > PAETH) return NOT_PLAIN;  // refused by the decoder
        unfilter(row[0], row + 1, prior, row_bytes, p.channels, wide);
        uint8_t *out = pixels.get() + y * p.width * 4;
        if (p.channels == 3)
            rgb_to_rgba(row + 1, out, p.width);
        else
            memcpy(out, row + 1, size_t(row_bytes));
        prior = row + 1;
    }
    *image = {int32_t(p.width), int32_t(p.height), pixels.release()};
    return PLAIN_DECODED;
}
