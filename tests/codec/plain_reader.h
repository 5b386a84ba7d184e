// Our own readers of plain BMPs and PNGs held against stb's decoder.
#ifndef PIXTRIM_TEST_PLAIN_READER_H
#define PIXTRIM_TEST_PLAIN_READER_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "codec/load.h"

namespace test_support {

using plain_reader = plain_result (*)(const uint8_t *bytes, int32_t size, rgba_image *image);

struct pixels_of {
    bool decoded;
    int width, height;
    std::vector<uint8_t> rgba;
};

inline pixels_of by_decoder(const std::vector<uint8_t> &file) {
    pixels_of out = {false, 0, 0, {}};
    const char *reason = nullptr;
    uint8_t *p = decode_rgba(file.data(), int32_t(file.size()), &out.width, &out.height, &reason);
    if (!p) return out;
    out.decoded = true;
    out.rgba.assign(p, p + size_t(out.width) * size_t(out.height) * 4);
    free(p);
    return out;
}

inline pixels_of by_reader(plain_reader read, const std::vector<uint8_t> &file,
                           plain_result *result) {
    rgba_image image = {0, 0, nullptr};
    *result = read(file.data(), int32_t(file.size()), &image);
    pixels_of out = {image.pixels != nullptr, image.width, image.height, {}};
    if (image.pixels)
        out.rgba.assign(image.pixels, image.pixels + size_t(image.width) * image.height * 4);
    free(image.pixels);
    return out;
}

inline plain_result reader_result(plain_reader read, const std::vector<uint8_t> &file) {
    plain_result result;
    by_reader(read, file, &result);
    return result;
}

// Our reader takes the file and gives what the decoder gives; returns it.
inline pixels_of expect_plain_and_same(plain_reader read, const std::vector<uint8_t> &file,
                                       const std::string &what) {
    plain_result result;
    pixels_of ours = by_reader(read, file, &result);
    EXPECT_EQ(result, PLAIN_DECODED) << what;
    pixels_of theirs = by_decoder(file);
    EXPECT_TRUE(theirs.decoded) << what;
    EXPECT_EQ(ours.width, theirs.width) << what;
    EXPECT_EQ(ours.height, theirs.height) << what;
    EXPECT_TRUE(ours.rgba == theirs.rgba) << what;
    return ours;
}

}  // namespace test_support

#endif
