// libFuzzer target: our JPEG encoder against a private copy of stb's writer,
// byte for byte, by both routes (the direct encode and the transform kept
// for a search), on small pictures at any quality. The first byte picks the
// quality, the second the width (1-64), the third whether the picture is
// made opaque; the rest are RGBA pixels, as many rows as they fill.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "codec/jpeg/jpeg.h"
#include "jpeg/reference_jpeg.h"

namespace {

// What write puts into a memory stream; empty unless it succeeds.
template <typename Write>
std::vector<uint8_t> captured(Write write) {
    char *data = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&data, &size);
    if (!stream) abort();
    bool written = write(stream) == JPEG_OK;
    fclose(stream);
    std::vector<uint8_t> out;
    if (written) out.assign(data, data + size);
    free(data);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 7) return 0;
    int quality = 1 + data[0] % 100;
    int width = 1 + data[1] % 64;
    bool opaque = data[2] & 1;
    size_t rows = (size - 3) / (static_cast<size_t>(width) * 4);
    if (rows == 0 || rows > 256) return 0;
    int height = static_cast<int>(rows);
    std::vector<uint8_t> rgba(data + 3, data + 3 + static_cast<size_t>(width) * height * 4);
    std::vector<uint8_t> rgb;
    for (size_t i = 0; i < rgba.size(); i += 4) {
        if (opaque) rgba[i + 3] = 255;
        unsigned alpha = rgba[i + 3];
        for (int c = 0; c < 3; ++c)
            rgb.push_back(static_cast<uint8_t>(rgba[i + c] * alpha / 255 + 255 - alpha));
    }
    std::vector<uint8_t> expected = stb_reference_jpeg(rgb.data(), width, height, quality);
    rgba_image image = {width, height, rgba.data()};
    if (captured([&](FILE *f) { return jpeg_encode_file(f, &image, quality); }) != expected)
        abort();
    jpeg_coefficients held;
    if (jpeg_transform(&image, jpeg_subsamples(quality), &held) != JPEG_OK) abort();
    bool same = captured([&](FILE *f) { return jpeg_write_coefficients(f, &held, quality); }) ==
                expected;
    jpeg_release(&held);
    if (!same) abort();
    return 0;
}
