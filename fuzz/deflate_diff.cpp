// libFuzzer target: our zlib compressor and PNG encoder against stb's own,
// byte for byte. The first byte picks what the rest is: a buffer compressed
// directly (at the library's level 8 mostly, sometimes another), or RGBA
// pixels that our encoder writes in a layout and stb's writer writes from
// that layout's bytes, under one filter mode. Some buffers and pictures are
// the input repeated past our compressor's 256 KiB read-ahead buffer, so
// that matches cross the points where it slides. PIXTRIM_ZLIB_PATH=scalar,
// sse2 or avx2 picks the compressor's path (the fastest by default).
#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/png/deflate.h"
#include "codec/png/png.h"
#include "deflate/reference_stb.h"

namespace {

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

void expect_same_png(const uint8_t *rgba, size_t size, int width, int channels, int mode) {
    int height = static_cast<int>(size / (static_cast<size_t>(width) * 4));
    if (height == 0) return;
    std::vector<uint8_t> expected = stb_reference_png(rgba, width, height, channels, mode, 8);

    std::vector<uint8_t> pixels(rgba, rgba + static_cast<size_t>(width) * height * 4);
    rgba_image image = {width, height, pixels.data()};
    mem_sink out = {nullptr, 0, 0};
    zlib_scratch scratch = {nullptr, nullptr, nullptr, 0};
    // First another layout into the same memory, as the PNG optimiser's
    // attempts follow one another: what it leaves must not reach this file.
    png_encode(&image, channels == 4 ? 3 : 4, (mode + 1) % 6, INT32_MAX, &out, &scratch);
    out.size = 0;
    bool same = png_encode(&image, channels, mode, INT32_MAX, &out, &scratch) &&
                std::equal(expected.begin(), expected.end(), out.data, out.data + out.size);
    free(out.data);
    zlib_release(&scratch);
    if (!same) abort();
}

// The bytes repeated to at least 300,000, each copy with one byte changed so
// that matches do not simply run on.
std::vector<uint8_t> tiled(const uint8_t *data, size_t size) {
    std::vector<uint8_t> out;
    for (size_t copy = 0; out.size() < 300000; ++copy) {
        out.insert(out.end(), data, data + size);
        out[out.size() - 1 - copy % size] ^= static_cast<uint8_t>(copy);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const char *path = getenv("PIXTRIM_ZLIB_PATH");
    if (!path) return 0;
    static const char *const kNames[] = {"scalar", "sse2", "avx2"};
    for (int p = ZLIB_SCALAR; p <= ZLIB_AVX2; ++p)
        if (strcmp(path, kNames[p]) == 0 && zlib_use_path(static_cast<zlib_path>(p))) return 0;
    fprintf(stderr, "PIXTRIM_ZLIB_PATH=%s: not a path this build and processor have\n", path);
    exit(2);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2 || size > (1 << 20)) return 0;
    uint8_t how = data[0];
    if (how < 128) {
        expect_same_zlib(data + 1, static_cast<int>(size - 1), 8);
    } else if (how < 160) {
        std::vector<uint8_t> long_buffer = tiled(data + 1, size - 1);
        expect_same_zlib(long_buffer.data(), static_cast<int>(long_buffer.size()), 8);
    } else if (how < 192) {
        expect_same_zlib(data + 2, static_cast<int>(size - 2), data[1] % (kMaxZlibLevel + 4));
    } else if (size > 3) {
        int width = 1 + data[1] % 64;
        if (how < 240) {
            expect_same_png(data + 3, size - 3, width, 1 + how % 4, data[2] % 6);
        } else {
            std::vector<uint8_t> tall = tiled(data + 3, size - 3);
            expect_same_png(tall.data(), tall.size(), width, 1 + how % 4, data[2] % 6);
        }
    }
    return 0;
}
