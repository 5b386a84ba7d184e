#include "codec/orient.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "codec/memory.h"

namespace {

constexpr size_t kPixelBytes = 4;
// Turned pictures are copied in tiles of this many pixels a side, so the
// rows read across stay in the cache while they are walked down.
constexpr ptrdiff_t kTile = 32;

void swap_pixels(uint8_t *a, uint8_t *b) {
    uint8_t held[kPixelBytes];
    memcpy(held, a, kPixelBytes);
    memcpy(a, b, kPixelBytes);
    memcpy(b, held, kPixelBytes);
}

// Reverses the order of count pixels.
void reverse_pixels(uint8_t *first, size_t count) {
    for (uint8_t *last = first + (count - 1) * kPixelBytes; first < last;
         first += kPixelBytes, last -= kPixelBytes)
        swap_pixels(first, last);
}

}  // namespace

bool turn_upright(rgba_image *image, int orientation) {
    const ptrdiff_t w = image->width, h = image->height;
    const size_t row_bytes = static_cast<size_t>(w) * kPixelBytes;
    uint8_t *pixels = image->pixels;
    // Quarter turns make a picture h wide and w high, whose pixel (x, y) is
    // the stored pixel at first + x * across + y * down.
    ptrdiff_t first = 0, across = 0, down = 0;
    switch (orientation) {
    case 2:  // mirror left-right
        for (ptrdiff_t y = 0; y < h; ++y) reverse_pixels(pixels + y * row_bytes, w);
        return true;
    case 3:  // rotate 180 degrees
        reverse_pixels(pixels, static_cast<size_t>(w) * h);
        return true;
    case 4:  // mirror top-bottom
        for (ptrdiff_t y = 0; y < h / 2; ++y)
            std::swap_ranges(pixels + y * row_bytes, pixels + (y + 1) * row_bytes,
                             pixels + (h - 1 - y) * row_bytes);
        return true;
    case 5: first = 0, across = w, down = 1; break;                      // transpose
    case 6: first = (h - 1) * w, across = -w, down = 1; break;           // 90 degrees clockwise
    case 7: first = (h - 1) * w + w - 1, across = -w, down = -1; break;  // transverse
    case 8: first = w - 1, across = w, down = -1; break;  // 90 degrees counter-clockwise
    default: return true;
    }
    uint8_t *turned =
        static_cast<uint8_t *>(allocate_large(static_cast<size_t>(w) * h * kPixelBytes));
    if (!turned) return false;
    const ptrdiff_t upright_w = h, upright_h = w;
    for (ptrdiff_t ty = 0; ty < upright_h; ty += kTile) {
        ptrdiff_t y_end = std::min(ty + kTile, upright_h);
        for (ptrdiff_t tx = 0; tx < upright_w; tx += kTile) {
            ptrdiff_t x_end = std::min(tx + kTile, upright_w);
            ptrdiff_t y = ty;
#ifdef __SSE2__
            // Four rows at a time, four pixels at a time: the stored pixels
            // of four upright columns are four runs of the stored rows.
            for (; y + 4 <= y_end; y += 4) {
                ptrdiff_t x = tx;
                for (; x + 4 <= x_end; x += 4) {
                    __m128i column[4];
                    for (int i = 0; i < 4; ++i) {
                        ptrdiff_t from = first + (x + i) * across + y * down;
                        if (down < 0) from -= 3;
                        column[i] = _mm_loadu_si128(
                            reinterpret_cast<const __m128i *>(pixels + from * kPixelBytes));
                        if (down < 0) column[i] = _mm_shuffle_epi32(column[i], 0x1B);  // reversed
                    }
                    __m128i low01 = _mm_unpacklo_epi32(column[0], column[1]);
                    __m128i high01 = _mm_unpackhi_epi32(column[0], column[1]);
                    __m128i low23 = _mm_unpacklo_epi32(column[2], column[3]);
                    __m128i high23 = _mm_unpackhi_epi32(column[2], column[3]);
                    __m128i row[4] = {
                        _mm_unpacklo_epi64(low01, low23), _mm_unpackhi_epi64(low01, low23),
                        _mm_unpacklo_epi64(high01, high23), _mm_unpackhi_epi64(high01, high23)};
                    for (int j = 0; j < 4; ++j)
                        _mm_storeu_si128(reinterpret_cast<__m128i *>(
                                             turned + ((y + j) * upright_w + x) * kPixelBytes),
                                         row[j]);
                }
                for (; x < x_end; ++x)
                    for (int j = 0; j < 4; ++j)
                        memcpy(turned + ((y + j) * upright_w + x) * kPixelBytes,
                               pixels + (first + x * across + (y + j) * down) * kPixelBytes,
                               kPixelBytes);
            }
#endif
            for (; y < y_end; ++y) {
                uint8_t *to = turned + (y * upright_w + tx) * kPixelBytes;
                ptrdiff_t from = first + tx * across + y * down;
                for (ptrdiff_t x = tx; x < x_end; ++x, to += kPixelBytes, from += across)
                    memcpy(to, pixels + from * kPixelBytes, kPixelBytes);
            }
        }
    }
    free(pixels);
    image->pixels = turned;
    image->width = static_cast<int32_t>(upright_w);
    image->height = static_cast<int32_t>(upright_h);
    return true;
}
