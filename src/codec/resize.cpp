#include "codec/resize.h"

#include <cstdlib>
#include <cstring>

int resize_nearest(const rgba_image *src, int32_t new_width, int32_t new_height,
                   rgba_image *out) {
    out->width = new_width;
    out->height = new_height;
    out->pixels = static_cast<uint8_t *>(
        calloc(static_cast<size_t>(new_width) * static_cast<size_t>(new_height), 4));
    if (!out->pixels) return 0;

    uint8_t *dst = out->pixels;
    for (int64_t y = 0; y < new_height; ++y) {
        int64_t sy = y * src->height / new_height;
        if (sy >= src->height) sy = src->height - 1;
        const uint8_t *src_row = src->pixels + static_cast<size_t>(sy) * src->width * 4;
        for (int64_t x = 0; x < new_width; ++x) {
            int64_t sx = x * src->width / new_width;
            if (sx >= src->width) sx = src->width - 1;
            memcpy(dst, src_row + sx * 4, 4);
            dst += 4;
        }
    }
    return 1;
}
