// Target-size compression. This program is linked with --wrap for stb's JPEG
// encoder and our PNG encoder, so every JPEG and PNG encode the library makes
// passes through the recorders below unchanged, and the tests can watch the
// search itself.
#include <gtest/gtest.h>

#include "codec/image_view.h"
#include "codec/resize.h"
#include "codec/write.h"
#include "pixtrim.h"
#include "support.h"

using namespace test_support;

namespace {

std::vector<int> s_jpeg_qualities;
int s_png_encodes = 0;

}  // namespace

extern "C" {
int __real_stbi_write_jpg_to_func(stbi_write_func *func, void *context, int x, int y, int comp,
                                  const void *data, int quality);
// png_encode under its C++ name, which --wrap needs.
bool __real__Z10png_encodePK10rgba_imageiimP8mem_sink(const rgba_image *image, int channels,
                                                      int filter_mode, uint64_t max_size,
                                                      mem_sink *out);

int __wrap_stbi_write_jpg_to_func(stbi_write_func *func, void *context, int x, int y, int comp,
                                  const void *data, int quality) {
    s_jpeg_qualities.push_back(quality);
    return __real_stbi_write_jpg_to_func(func, context, x, y, comp, data, quality);
}

bool __wrap__Z10png_encodePK10rgba_imageiimP8mem_sink(const rgba_image *image, int channels,
                                                      int filter_mode, uint64_t max_size,
                                                      mem_sink *out) {
    ++s_png_encodes;
    return __real__Z10png_encodePK10rgba_imageiimP8mem_sink(image, channels, filter_mode,
                                                            max_size, out);
}
}

namespace {

// Per-pixel noise: at 16 x 16 the JPEG sizes stay within a factor of three
// from quality 50 to 100.
picture noise(int width, int height) {
    uint32_t state = 12345;
    return make_picture(width, height, [&](int, int) {
        std::vector<uint8_t> px(4, 255);
        for (int c = 0; c < 3; ++c)
            px[c] = static_cast<uint8_t>((state = state * 1103515245 + 12345) >> 24);
        return px;
    });
}

struct TargetSize : ::testing::Test {
    scratch_dir dir;
    std::string input = dir / "in.png";
    picture photo = noise(16, 16);
    void SetUp() override { save_png(input, photo); }

    int run(const std::string &output, int target_bytes) {
        s_jpeg_qualities.clear();
        s_png_encodes = 0;
        return pixtrim_target_size(input.c_str(), output.c_str(), target_bytes);
    }
    std::string jpeg_at(int quality) {
        std::string path = dir / ("q" + std::to_string(quality) + ".jpg");
        rgba_image image = view_of(photo);
        EXPECT_EQ(encode_jpg(path.c_str(), &image, quality), 1);
        return path;
    }
    // Size of the PNG the ladder writes at one percent step.
    long png_at(int percent) {
        rgba_image image = view_of(photo), shrunk = image;
        if (percent < 100) {
            EXPECT_EQ(
                resize_nearest(&image, static_cast<int32_t>(image.width * percent / 100.0 + 0.5),
                               static_cast<int32_t>(image.height * percent / 100.0 + 0.5), &shrunk),
                1);
        }
        long size = png_smallest((dir / "step.png").c_str(), &shrunk);
        if (percent < 100) free(shrunk.pixels);
        return size;
    }
};

}  // namespace

TEST_F(TargetSize, BisectsUpwardWhenEveryProbeFitsAndNoneIsWithinAQuarter) {
    const int budget = static_cast<int>(file_length(jpeg_at(100)));
    for (int quality : {50, 75, 88, 94, 97, 99}) {
        long size = file_length(jpeg_at(quality));
        ASSERT_TRUE(size <= budget && size > budget / 4) << "precondition at quality " << quality;
    }
    std::string out = dir / "out.jpg";
    ASSERT_EQ(run(out, budget), 1);
    EXPECT_EQ(s_jpeg_qualities, (std::vector<int>{50, 75, 88, 94, 97, 99, 100, 100}));
    EXPECT_EQ(read_bytes(out), read_bytes(jpeg_at(100)));
    EXPECT_EQ(pixtrim_stats(), stats_record(file_length(input), budget));
}

TEST_F(TargetSize, OneByteBudgetProbesDownToQualityOneAndReportsWhatItLeft) {
    std::string out = dir / "out.jpg";
    EXPECT_EQ(run(out, 1), 0);
    EXPECT_EQ(s_jpeg_qualities, (std::vector<int>{50, 25, 12, 6, 3, 1}));
    EXPECT_EQ(read_bytes(out), read_bytes(jpeg_at(1)));
    const long left = file_length(out);
    EXPECT_EQ(pixtrim_last_error(),
              "target_size: could not get output <= 1 bytes (best: " + std::to_string(left) + ")");
    EXPECT_EQ(pixtrim_stats(), stats_record(file_length(input), left));
}

TEST_F(TargetSize, GenerousBudgetStopsAtTheFirstProbe) {
    std::string out = dir / "out.jpg";
    ASSERT_EQ(run(out, 4 * static_cast<int>(file_length(jpeg_at(50)))), 1);
    EXPECT_EQ(s_jpeg_qualities, (std::vector<int>{50, 50}));
    EXPECT_EQ(read_bytes(out), read_bytes(jpeg_at(50)));
}

TEST_F(TargetSize, BudgetBelowOneFailsBeforeTheInputIsOpened) {
    input = dir / "missing.png";
    for (int budget : {0, -7}) {
        EXPECT_EQ(run(dir / "out.jpg", budget), 0);
        EXPECT_STREQ(pixtrim_last_error(), "target_size: target_bytes must be > 0");
    }
    EXPECT_TRUE(s_jpeg_qualities.empty());
}

// An opaque colour picture is encoded as RGB only: six encodes per PNG write.
TEST_F(TargetSize, PngThatFitsAtFullSizeIsWrittenOnceUnscaled) {
    const long full = png_at(100);
    std::string out = dir / "out.png";
    ASSERT_EQ(run(out, static_cast<int>(full)), 1);
    EXPECT_EQ(s_png_encodes, 6);
    EXPECT_EQ(decode_file(out).image.rgba, photo.rgba);
    EXPECT_EQ(pixtrim_stats(), stats_record(file_length(input), full));
}

TEST_F(TargetSize, PngThatFitsOnlyAt40PercentKeeps40PercentSides) {
    photo = noise(48, 32);
    save_png(input, photo);
    const long at_40 = png_at(40);
    for (int percent : {100, 80, 60})
        ASSERT_GT(png_at(percent), at_40) << "precondition at " << percent;
    std::string out = dir / "out.png";
    ASSERT_EQ(run(out, static_cast<int>(at_40)), 1);
    EXPECT_EQ(s_png_encodes, 4 * 6);
    decoded d = decode_file(out);
    EXPECT_TRUE(d.image.width == 19 && d.image.height == 13);  // 48 * 0.4 + 0.5, 32 * 0.4 + 0.5
    EXPECT_EQ(pixtrim_stats(), stats_record(file_length(input), at_40));
}

TEST_F(TargetSize, OnePixelThatNeverFitsIsWrittenAtEveryStep) {
    photo = noise(1, 1);
    save_png(input, photo);
    std::string out = dir / "out.png";
    EXPECT_EQ(run(out, 1), 0);
    EXPECT_EQ(s_png_encodes, 5 * 6);
    EXPECT_EQ(decode_file(out).image.rgba, photo.rgba);
    EXPECT_EQ(pixtrim_last_error(), "target_size: could not get output <= 1 bytes (best: " +
                                        std::to_string(file_length(out)) + ")");
    EXPECT_EQ(pixtrim_stats(), stats_record(file_length(input), file_length(out)));
}
