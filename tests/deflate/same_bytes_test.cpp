// The speed-ups around the encoders must not change a byte: the JPEG writer
// now encodes opaque pictures in place and writes single bytes cheaply.
#include <gtest/gtest.h>

#include <vector>

#include "codec/write.h"
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

}  // namespace
