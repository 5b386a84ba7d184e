// A private copy of stb_image_write: every function and both settings are
// static here, so this copy keeps stb's own deflate while the library's copy
// uses ours, and neither sees the other's symbols.
#include "reference_stb.h"

#include <cstdlib>

#define STB_IMAGE_WRITE_STATIC
#define STBI_WRITE_NO_STDIO
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>

std::vector<uint8_t> stb_reference_zlib(const uint8_t *data, int length, int level) {
    int out_len = 0;
    unsigned char *z = stbi_zlib_compress(const_cast<uint8_t *>(data), length, &out_len, level);
    std::vector<uint8_t> out;
    if (z) out.assign(z, z + out_len);
    free(z);
    return out;
}

std::vector<uint8_t> stb_reference_png(const uint8_t *rgba, int width, int height,
                                       int channels, int filter_mode, int level) {
    static const int kSources[5][4] = {{}, {0}, {0, 3}, {0, 1, 2}, {0, 1, 2, 3}};
    std::vector<uint8_t> layout;
    for (size_t i = 0, n = static_cast<size_t>(width) * height; i < n; ++i)
        for (int c = 0; c < channels; ++c) layout.push_back(rgba[i * 4 + kSources[channels][c]]);
    stbi_write_force_png_filter = filter_mode;
    stbi_write_png_compression_level = level;
    int out_len = 0;
    unsigned char *png = stbi_write_png_to_mem(layout.data(), width * channels, width, height,
                                               channels, &out_len);
    std::vector<uint8_t> out;
    if (png) out.assign(png, png + out_len);
    free(png);
    return out;
}
