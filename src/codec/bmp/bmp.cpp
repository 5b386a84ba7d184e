#include "codec/bmp/bmp.h"

#include <climits>
#include <cstdlib>

#include "codec/memory.h"

namespace {

constexpr int64_t kFileHeaderBytes = 14;
constexpr int32_t kBitFields = 3;  // compression code of explicit masks

uint32_t le16(const uint8_t *p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t le32(const uint8_t *p) { return le16(p) | le16(p + 2) << 16; }

// Where the rows of a plain BMP are and how to read them.
struct plain_layout {
    int64_t width;
    int64_t rows;
    int64_t offset;  // of the first row in the file
    int64_t stride;  // bytes from one row to the next, padding included
    int bits_per_pixel;
    bool bottom_up;
    // An uncompressed 32-bit file may leave its fourth byte unused; the
    // decoder then reads all-zero alpha as opaque.
    bool zero_alpha_is_opaque;
};

// The masks of a 32-bit file whose bytes are blue, green, red, alpha.
bool standard_masks(const uint8_t *masks) {
    return le32(masks) == 0x00FF0000 && le32(masks + 4) == 0x0000FF00 &&
           le32(masks + 8) == 0x000000FF && le32(masks + 12) == 0xFF000000;
}

// True for the files the decoder reads as plain BGR or BGRA rows and
// decodes without complaint: a known header with the rows right after it,
// one plane, 24 bits uncompressed or 32 bits uncompressed or with the
// standard masks, sides within the decoder's limits and every row present.
bool plain_layout_of(const uint8_t *bytes, int32_t size, plain_layout *l) {
    if (size < kFileHeaderBytes + 4 || bytes[0] != 'B' || bytes[1] != 'M') return false;
    int64_t header_size = le32(bytes + 14);
    if (header_size != 12 && header_size != 40 && header_size != 56 && header_size != 108 &&
        header_size != 124)
        return false;
    if (size < kFileHeaderBytes + header_size) return false;
    if (int32_t(le32(bytes + 10)) != kFileHeaderBytes + header_size) return false;

    int64_t height;
    uint32_t planes;
    int32_t compression = 0;
    if (header_size == 12) {
        l->width = le16(bytes + 18);
        height = le16(bytes + 20);
        planes = le16(bytes + 22);
        l->bits_per_pixel = int(le16(bytes + 24));
    } else {
        l->width = le32(bytes + 18);
        height = int32_t(le32(bytes + 22));
        planes = le16(bytes + 26);
        l->bits_per_pixel = int(le16(bytes + 28));
        compression = int32_t(le32(bytes + 30));
    }
    l->zero_alpha_is_opaque = l->bits_per_pixel == 32 && compression == 0;
    bool rgb = l->bits_per_pixel == 24 && compression == 0;
    // Only the larger headers carry an alpha mask; the decoder reads the
    // masks of the others as a file with no alpha.
    bool rgba = l->bits_per_pixel == 32 && header_size != 12 &&
                (compression == 0 ||
                 (compression == kBitFields && header_size >= 108 && standard_masks(bytes + 54)));
    if (planes != 1 || !(rgb || rgba)) return false;

    l->bottom_up = height > 0;
    l->rows = height < 0 ? -height : height;
    if (l->width < 1 || l->rows < 1 || l->width > kDecoderMaxSide || l->rows > kDecoderMaxSide ||
        4 * l->width * l->rows > INT_MAX)
        return false;
    int64_t row_bytes = l->width * (l->bits_per_pixel / 8);
    l->offset = kFileHeaderBytes + header_size;
    l->stride = (row_bytes + 3) / 4 * 4;
    // The last row's padding may be missing.
    return l->offset + (l->rows - 1) * l->stride + row_bytes <= size;
}

void bgr_to_rgba(const uint8_t *in, uint8_t *out, int64_t width) {
    for (int64_t x = 0; x < width; ++x, in += 3, out += 4) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
        out[3] = 255;
    }
}

// Returns the bitwise or of the row's alpha bytes.
uint8_t bgra_to_rgba(const uint8_t *in, uint8_t *out, int64_t width) {
    uint8_t alpha = 0;
    for (int64_t x = 0; x < width; ++x, in += 4, out += 4) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
        out[3] = in[3];
        alpha |= in[3];
    }
    return alpha;
}

}  // namespace

plain_result bmp_decode_plain(const uint8_t *bytes, int32_t size, rgba_image *image) {
    plain_layout l;
    if (!plain_layout_of(bytes, size, &l)) return NOT_PLAIN;
    int64_t out_stride = l.width * 4;
    uint8_t *pixels = static_cast<uint8_t *>(allocate_large(size_t(out_stride * l.rows)));
    if (!pixels) return PLAIN_NO_MEMORY;

    uint8_t alpha = 0;
    for (int64_t y = 0; y < l.rows; ++y) {
        const uint8_t *in = bytes + l.offset + y * l.stride;
        uint8_t *out = pixels + (l.bottom_up ? l.rows - 1 - y : y) * out_stride;
        if (l.bits_per_pixel == 24)
            bgr_to_rgba(in, out, l.width);
        else
            alpha |= bgra_to_rgba(in, out, l.width);
    }
    if (l.zero_alpha_is_opaque && alpha == 0)
        for (int64_t i = 3; i < out_stride * l.rows; i += 4) pixels[i] = 255;

    *image = {int32_t(l.width), int32_t(l.rows), pixels};
    return PLAIN_DECODED;
}
