// Nearest-neighbour downscaling.
#include <gtest/gtest.h>

#include "codec/image_view.h"
#include "codec/resize.h"

using namespace test_support;

TEST(ResizeNearest, CopiesTheTopLeftPixelOfEachSampledCellAlphaIncluded) {
    struct resize_case {
        int width, height, new_width, new_height;
        std::vector<std::pair<int, int>> sources;  // source (x, y) of each output pixel, row by row
    };
    const resize_case cases[] = {
        {4, 4, 2, 2, {{0, 0}, {2, 0}, {0, 2}, {2, 2}}},
        {3, 1, 2, 1, {{0, 0}, {1, 0}}},
        {5, 3, 1, 1, {{0, 0}}},
        {3, 2, 3, 2, {{0, 0}, {1, 0}, {2, 0}, {0, 1}, {1, 1}, {2, 1}}},
    };
    for (const resize_case &c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " to " +
                     std::to_string(c.new_width) + "x" + std::to_string(c.new_height));
        picture source = make_picture(c.width, c.height, [](int x, int y) {
            return std::vector<uint8_t>{static_cast<uint8_t>(x), static_cast<uint8_t>(y), 77,
                                        static_cast<uint8_t>(x * 60 + y)};  // (0, 0) is transparent
        });
        const picture before = source;
        rgba_image src = view_of(source), out;
        ASSERT_EQ(resize_nearest(&src, c.new_width, c.new_height, &out), 1);
        ASSERT_TRUE(out.width == c.new_width && out.height == c.new_height);
        std::vector<uint8_t> expected;
        for (auto [x, y] : c.sources)
            expected.insert(expected.end(), source.at(x, y), source.at(x, y) + 4);
        EXPECT_EQ(std::vector<uint8_t>(out.pixels, out.pixels + expected.size()), expected);
        EXPECT_EQ(source.rgba, before.rgba);
        free(out.pixels);
    }
}
