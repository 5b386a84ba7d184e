// Reading input files and naming output formats.
#ifndef PIXTRIM_LOAD_H
#define PIXTRIM_LOAD_H

#include <cstddef>
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

struct image_metadata;

// The decoder refuses pictures with a longer side.
constexpr int64_t kDecoderMaxSide = int64_t{1} << 24;

// What our own readers of the commonest BMPs and PNGs make of a file:
// PLAIN_DECODED with the picture filled; NOT_PLAIN, leaving it untouched,
// for any file the reader does not take, which goes to the decoder; and
// PLAIN_NO_MEMORY when the reader's blocks cannot be allocated.
enum plain_result { PLAIN_DECODED, NOT_PLAIN, PLAIN_NO_MEMORY };

// Reads and decodes a JPEG, PNG or BMP file recognised by its first bytes,
// and turns the picture upright as its Exif orientation says. Returns 1 and
// fills the out-parameters (and empties the last-error text), or 0 with the
// reason recorded and no out-parameter touched. With metadata, it also
// hands back what an output must carry to look the same (metadata.h), for
// the caller to release.
int load_rgba(const char *path, rgba_image *image, image_format *format,
              image_metadata *metadata = nullptr);

// Decodes a whole file held in memory, recognised as format, after the
// structure checks: null with the picture filled (a malloc block), or the
// reason it cannot be decoded. The picture is as stored, not turned upright.
const char *decode_picture(const uint8_t *bytes, int32_t size, image_format format,
                           rgba_image *picture);

// The decoder's RGBA pixels for a whole file held in memory, as a malloc
// block, or null with the reason of this decode in *reason: "outofmem" when
// one of the decoder's allocations failed, else the decoder's own text.
uint8_t *decode_rgba(const uint8_t *bytes, int32_t size, int *width, int *height,
                     const char **reason);

// Inflates a zlib stream into out, never past capacity bytes. True when the
// whole stream ended inside that room; *produced is what was written.
bool inflate_zlib(const uint8_t *stream, size_t size, uint8_t *out, size_t capacity,
                  size_t *produced);

// The format a file's first bytes announce; FMT_NONE for any other file.
image_format detect_format(const uint8_t *bytes, int32_t size);

// The format the path's extension names, else the fallback.
image_format format_from_path(const char *path, image_format fallback);

// Whole-string equality with ASCII letter case ignored (bit 0x20 folded).
bool ascii_ieq(const char *a, const char *b);

#endif
