// Reading input files and naming output formats.
#ifndef PIXTRIM_LOAD_H
#define PIXTRIM_LOAD_H

#include <cstdint>

// 8-bit RGBA, rows top to bottom, packed (stride = width * 4). The pixel
// block is a malloc block owned by whoever filled the record.
struct rgba_image {
    int32_t width;
    int32_t height;
    uint8_t *pixels;
};

// The numbers are part of the interface: "cannot encode format %d" prints them.
enum image_format : int32_t {
    FMT_NONE = 0,
    FMT_JPEG = 1,
    FMT_PNG = 2,
    FMT_BMP = 3,
};

// Reads and decodes a JPEG, PNG or BMP file recognised by its first bytes.
// Returns 1 and fills both out-parameters (and empties the last-error text),
// or 0 with the reason recorded and neither out-parameter touched.
int load_rgba(const char *path, rgba_image *image, image_format *format);

// The decoder's RGBA pixels for a whole file held in memory, as a malloc
// block, or null with the reason of this decode in *reason: "outofmem" when
// one of the decoder's allocations failed, else the decoder's own text.
uint8_t *decode_rgba(const uint8_t *bytes, int32_t size, int *width, int *height,
                     const char **reason);

// The format a file's first bytes announce; FMT_NONE for any other file.
image_format detect_format(const uint8_t *bytes, int32_t size);

// The format the path's extension names, else the fallback.
image_format format_from_path(const char *path, image_format fallback);

// Whole-string equality with ASCII letter case ignored (bit 0x20 folded).
bool ascii_ieq(const char *a, const char *b);

#endif
