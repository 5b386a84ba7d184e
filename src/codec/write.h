// Writing JPEG, PNG and BMP files, and the PNG size optimiser.
#ifndef PIXTRIM_WRITE_H
#define PIXTRIM_WRITE_H

#include <sys/types.h>

#include <cstdint>

#include "codec/jpeg/jpeg.h"
#include "codec/load.h"
#include "codec/metadata.h"
#include "codec/png/png.h"

// RGB copy of the picture composited onto white: c * A / 255 + 255 - A.
// Returns a malloc block of width * height * 3 bytes, or null.
uint8_t *flatten_white(const rgba_image *image);

// Every writer takes what the input carries (metadata.h), or null for
// nothing: JPEG carries an RGB profile, PNG a profile that fits its layout
// and a PNG input's colour chunks, BMP nothing.

// Writes a JPEG (flattened onto white) at the given quality.
// Nonzero on success, 0 with the reason recorded.
int encode_jpg(const char *path, const rgba_image *image, int quality,
               const image_metadata *carried = nullptr);

// encode_jpg for a search over qualities: the picture's transform for the
// quality's chroma mode is kept in held (empty at first, released by the
// caller), so later qualities of the same mode only quantise and code.
// Holds one mode at a time.
int encode_jpg_reusing(const char *path, const rgba_image *image, int quality,
                       jpeg_coefficients *held, const image_metadata *carried = nullptr);

// Writes the smallest exact PNG found; returns its size or -1. With
// as_loaded the picture is the input's as loaded (not turned, not scaled),
// and the input's own encoding (own_encoding) competes: it is written
// instead when it is strictly smaller and decodes to exactly the picture.
int32_t png_smallest(const char *path, const rgba_image *image,
                     const image_metadata *carried = nullptr, bool as_loaded = false);

// Writes the picture in the given format and returns the file's size, or -1.
// The quality is used by JPEG only. With as_loaded, the input's own
// encoding competes as in png_smallest, against a JPEG too.
int32_t write_sized(const char *path, const rgba_image *image, image_format format,
                    int quality, const image_metadata *carried = nullptr,
                    bool as_loaded = false);

// The input's own encoding of the picture written to path instead of ours
// when it is smaller than ours_size bytes and decodes with our loader to
// exactly the picture. True when it was chosen, *size then being what was
// written (-1 with the reason recorded).
bool wrote_own_encoding(const char *path, const rgba_image *image, image_format format,
                        const image_metadata *input, uint64_t ours_size, int32_t *size);

// Where an operation writes its output. An output that names the same file
// as the input (same device and inode) is written beside it under a
// temporary name and renamed over it only once complete, so a failed or
// interrupted write never destroys the original. Other outputs are written
// directly.
struct staged_output {
    const char *path;  // where the writers write: the output path or the temporary file
    char *staged;      // malloc'd temporary path, null when writing directly
    char *replaced;    // malloc'd real path of the file the result replaces
    mode_t mode;       // the original's permission bits, owner and group
    uid_t owner;
    gid_t group;
};

// Fills out for writing output_path. Returns 0 (out left writing nowhere)
// when the temporary file cannot be created.
int stage_output(const char *input_path, const char *output_path, staged_output *out);

// Renames a temporary file over the original when keep is set and removes it
// otherwise, then releases out. Returns 0 when the file could not be put in
// place (it is removed); 1 otherwise, also for outputs written directly.
int finish_output(staged_output *out, bool keep);

#endif
