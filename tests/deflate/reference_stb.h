// stb_image_write's own zlib compressor and PNG writer, compiled a second
// time with their built-in deflate, to hold our compressor's output against.
#ifndef PIXTRIM_REFERENCE_STB_H
#define PIXTRIM_REFERENCE_STB_H

#include <cstdint>
#include <vector>

// stb's stbi_zlib_compress; an empty vector when it returns null.
std::vector<uint8_t> stb_reference_zlib(const uint8_t *data, int length, int level);

// stb's PNG of an RGBA picture in a layout of 1-4 channels (R; R, A; R, G,
// B; R, G, B, A) under one filter mode (0-4 forced, 5 per row) at the given
// compression level, written with its built-in deflate.
std::vector<uint8_t> stb_reference_png(const uint8_t *rgba, int width, int height,
                                       int channels, int filter_mode, int level);

#endif
