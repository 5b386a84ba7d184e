// libFuzzer target: our zlib compressor against stb's own, byte for byte.
// The first byte picks what the rest is: a buffer compressed directly (at
// the library's level 8 mostly, sometimes another), or pixels that both
// PNG writers filter under one mode, so the filtered rows reach both too.
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <vector>

#include <stb_image_write.h>

#include "codec/deflate.h"
#include "deflate/reference_stb.h"

namespace {

void append_to(void *context, void *data, int size) {
    auto *out = static_cast<std::vector<uint8_t> *>(context);
    out->insert(out->end(), static_cast<uint8_t *>(data), static_cast<uint8_t *>(data) + size);
}

// Levels past kMaxZlibLevel must be refused; every other gives stb's bytes.
void expect_same_zlib(const uint8_t *data, int size, int level) {
    int length = 0;
    unsigned char *actual = zlib_compress(const_cast<uint8_t *>(data), size, &length, level);
    bool same = actual == nullptr;
    if (level <= kMaxZlibLevel) {
        std::vector<uint8_t> expected = stb_reference_zlib(data, size, level);
        same = actual && static_cast<size_t>(length) == expected.size() &&
               std::equal(expected.begin(), expected.end(), actual);
    }
    free(actual);
    if (!same) abort();
}

void expect_same_png(const uint8_t *pixels, size_t size, int width, int channels, int mode) {
    int height = static_cast<int>(size / (static_cast<size_t>(width) * channels));
    if (height == 0) return;
    std::vector<uint8_t> expected = stb_reference_png(pixels, width, height, channels, mode, 8);
    std::vector<uint8_t> actual;
    stbi_write_force_png_filter = mode;
    stbi_write_png_compression_level = 8;
    stbi_write_png_to_func(append_to, &actual, width, height, channels, pixels, width * channels);
    if (actual != expected) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2 || size > (1 << 20)) return 0;
    uint8_t how = data[0];
    if (how < 160) {
        expect_same_zlib(data + 1, static_cast<int>(size - 1), 8);
    } else if (how < 192) {
        expect_same_zlib(data + 2, static_cast<int>(size - 2), data[1] % (kMaxZlibLevel + 4));
    } else if (size > 3) {
        int width = 1 + data[1] % 64;
        expect_same_png(data + 3, size - 3, width, 1 + how % 4, data[2] % 6);
    }
    return 0;
}
