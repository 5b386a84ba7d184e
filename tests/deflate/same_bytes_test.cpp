// The speed-ups around the encoders must not change a byte: the JPEG writer
// now encodes opaque pictures in place and writes single bytes cheaply.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "codec/write.h"
#include "deflate/reference_stb.h"
#include "support.h"

namespace {

using bytes = std::vector<uint8_t>;
using test_support::picture;

// What stb writes for the picture's RGB bytes composited onto white.
bytes stb_jpeg_of_rgb(const picture &p, int quality) {
    rgba_image image = {p.width, p.height, const_cast<uint8_t *>(p.rgba.data())};
    uint8_t *rgb = flatten_white(&image);
    bytes out;
    stbi_write_jpg_to_func(test_support::append_to, &out, p.width, p.height, 3, rgb, quality);
    free(rgb);
    return out;
}

bytes library_jpeg(const picture &p, int quality, const test_support::scratch_dir &dir) {
    rgba_image image = {p.width, p.height, const_cast<uint8_t *>(p.rgba.data())};
    std::string path = dir / "out.jpg";
    EXPECT_EQ(encode_jpg(path.c_str(), &image, quality), 1);
    return test_support::read_bytes(path);
}

TEST(JpegBytes, OpaqueAndTransparentPicturesMatchStbOnTheirRgb) {
    test_support::scratch_dir dir;
    picture opaque = test_support::photo_like(61, 37);
    picture odd_transparent = test_support::make_picture(33, 17, [](int x, int y) {
        return std::vector<uint8_t>{uint8_t(x * 7), uint8_t(y * 9), 80, uint8_t(x == 32 ? 0 : 255)};
    });
    picture one_pixel = test_support::make_picture(1, 1, [](int, int) {
        return std::vector<uint8_t>{10, 20, 30, 255};
    });
    picture last_pixel_clear = opaque;  // an odd pixel count, the last one transparent
    last_pixel_clear.at(60, 36)[3] = 0;
    for (const picture *p : {&opaque, &odd_transparent, &one_pixel, &last_pixel_clear})
        for (int quality : {1, 75, 100})
            EXPECT_TRUE(library_jpeg(*p, quality, dir) == stb_jpeg_of_rgb(*p, quality))
                << p->width << "x" << p->height << " at quality " << quality;
}

// The optimiser tries the filter modes in its own order, but must write
// the file of stb's smallest, and of its lowest mode among equals. Noise
// makes every mode fall back to stored blocks of one size.
TEST(PngBytes, TheSmallestModesFileAndTheLowestModeAmongEqualSizes) {
    test_support::scratch_dir dir;
    picture photo = test_support::photo_like(200, 120);
    std::mt19937 random(7);
    picture noise = test_support::make_picture(64, 48, [&](int, int) {
        uint32_t v = static_cast<uint32_t>(random());
        return std::vector<uint8_t>{uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), 255};
    });
    picture flat = test_support::make_picture(50, 40, [](int, int) {
        return std::vector<uint8_t>{90, 60, 30, 255};
    });
    for (const picture *p : {&photo, &noise, &flat}) {
        bytes smallest;
        for (int mode = 0; mode <= 5; ++mode) {
            bytes png = stb_reference_png(p->rgba.data(), p->width, p->height, 3, mode, 8);
            if (smallest.empty() || png.size() < smallest.size()) smallest = png;
        }
        rgba_image image = {p->width, p->height, const_cast<uint8_t *>(p->rgba.data())};
        std::string path = dir / "out.png";
        ASSERT_EQ(png_smallest(path.c_str(), &image), static_cast<int32_t>(smallest.size()));
        EXPECT_TRUE(test_support::read_bytes(path) == smallest) << p->width << "x" << p->height;
    }
}

}  // namespace
