// Lossless and quality compression through the exports, and the two texts.
#include <functional>

#include <gtest/gtest.h>

#include "codec/image_view.h"
#include "codec/write.h"
#include "pixtrim.h"
#include "state.h"
#include "support.h"

using namespace test_support;

namespace {

struct SingleFile : ::testing::Test {
    scratch_dir dir;
    std::string input = dir / "in.png";
    picture photo = photo_like(40, 30);
    void SetUp() override {
        pixtrim_init();
        save_png(input, photo);
    }
};

}  // namespace

TEST(StatsRecord, MatchesTheDocumentedExamples) {
    EXPECT_EQ(stats_record(800, 200),
              R"({"input_size":800,"output_size":200,"ratio":75.00,"saved_bytes":600})");
    EXPECT_EQ(stats_record(200, 800),
              R"({"input_size":200,"output_size":800,"ratio":-300.00,"saved_bytes":-600})");
}

TEST_F(SingleFile, InitAndCleanupResetBothTexts) {
    for (void (*reset)() : {+[] { pixtrim_init(); }, +[] { pixtrim_cleanup(); }}) {
        ASSERT_EQ(pixtrim_lossless(input.c_str(), (dir / "out.png").c_str()), 1);
        set_err("stale");
        reset();
        EXPECT_STREQ(pixtrim_stats(), "{}");
        EXPECT_STREQ(pixtrim_last_error(), "");
    }
    EXPECT_EQ(pixtrim_init(), 1);
}

TEST_F(SingleFile, NullPathsAreRefusedWithTheOperationsMessage) {
    const char *in = input.c_str();
    std::string out = dir / "out.png";
    const char *o = out.c_str();
    struct null_case {
        std::function<int()> call;
        int result;
        const char *message;
    };
    const null_case cases[] = {
        {[&] { return pixtrim_lossless(nullptr, o); }, 0, "lossless: NULL input/output"},
        {[&] { return pixtrim_lossless(in, nullptr); }, 0, "lossless: NULL input/output"},
        {[&] { return pixtrim_quality(nullptr, o, 50); }, 0, "quality: NULL input/output"},
        {[&] { return pixtrim_quality(in, nullptr, 50); }, 0, "quality: NULL input/output"},
        {[&] { return pixtrim_target_size(nullptr, o, 100); }, 0, "target_size: NULL input/output"},
        {[&] { return pixtrim_target_size(in, nullptr, 100); }, 0,
         "target_size: NULL input/output"},
        {[&] { return pixtrim_batch(nullptr, o, 50); }, -1, "batch: NULL input/output dir"},
        {[&] { return pixtrim_batch(in, nullptr, 50); }, -1, "batch: NULL input/output dir"},
    };
    for (const null_case &c : cases) {
        EXPECT_EQ(c.call(), c.result) << c.message;
        EXPECT_STREQ(pixtrim_last_error(), c.message);
    }
    EXPECT_STREQ(pixtrim_stats(), "{}");
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(SingleFile, LosslessWritesTheExactPictureInTheNamedOrInputFormat) {
    // No extension: the detected input format decides.
    for (auto [name, first_byte] :
         {std::pair{"out.png", 0x89}, std::pair{"copy", 0x89}, std::pair{"out.bmp", int{'B'}}}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(pixtrim_lossless(input.c_str(), (dir / name).c_str()), 1);
        EXPECT_EQ(read_bytes(dir / name)[0], first_byte);
        EXPECT_EQ(decode_file(dir / name).image.rgba, photo.rgba);
        EXPECT_EQ(pixtrim_stats(), stats_record(file_length(input), file_length(dir / name)));
    }
}

TEST_F(SingleFile, LosslessRecordsNegativeSavingsWhenTheOutputGrows) {
    save_png(input, make_picture(32, 32, [](int, int) {
                 return std::vector<uint8_t>{9, 9, 9, 255};
             }));
    ASSERT_EQ(pixtrim_lossless(input.c_str(), (dir / "out.bmp").c_str()), 1);
    ASSERT_GT(file_length(dir / "out.bmp"), file_length(input));
    EXPECT_EQ(pixtrim_stats(), stats_record(file_length(input), file_length(dir / "out.bmp")));
}

TEST_F(SingleFile, LosslessToJpegIsQuality100OnWhite) {
    picture clear = make_picture(16, 16, [](int x, int) {
        return std::vector<uint8_t>{0, 0, 0, static_cast<uint8_t>(x < 8 ? 0 : 255)};
    });
    save_png(input, clear);
    ASSERT_EQ(pixtrim_lossless(input.c_str(), (dir / "out.jpg").c_str()), 1);
    rgba_image image = view_of(clear);
    ASSERT_EQ(encode_jpg((dir / "q100.jpg").c_str(), &image, 100), 1);
    EXPECT_EQ(read_bytes(dir / "out.jpg"), read_bytes(dir / "q100.jpg"));
    picture decoded_jpeg = decode_file(dir / "out.jpg").image;
    EXPECT_GE(decoded_jpeg.at(0, 0)[0], 250);
    EXPECT_LE(decoded_jpeg.at(15, 15)[0], 5);
}

TEST_F(SingleFile, FailedWriteKeepsTheStatisticsAndNamesTheOutput) {
    ASSERT_EQ(pixtrim_lossless(input.c_str(), (dir / "out.png").c_str()), 1);
    const std::string stats = pixtrim_stats();
    std::string out = dir / "missing/out.png";
    EXPECT_EQ(pixtrim_lossless(input.c_str(), out.c_str()), 0);
    EXPECT_EQ(pixtrim_last_error(), "lossless: encode failed for " + out);
    EXPECT_EQ(pixtrim_stats(), stats);
    EXPECT_EQ(pixtrim_quality(input.c_str(), out.c_str(), 50), 0);
    EXPECT_EQ(pixtrim_last_error(), "quality: encode failed for " + out);
    EXPECT_EQ(pixtrim_stats(), stats);
}

TEST_F(SingleFile, SuccessAfterAFailureLeavesTheErrorEmpty) {
    std::string missing = dir / "missing.png", out = dir / "out.png";
    ASSERT_EQ(pixtrim_lossless(missing.c_str(), out.c_str()), 0);
    EXPECT_EQ(pixtrim_last_error(), "cannot read " + missing);
    EXPECT_EQ(pixtrim_lossless(input.c_str(), out.c_str()), 1);
    EXPECT_STREQ(pixtrim_last_error(), "");
    ASSERT_EQ(pixtrim_quality(missing.c_str(), out.c_str(), 50), 0);
    EXPECT_EQ(pixtrim_quality(input.c_str(), out.c_str(), 50), 1);
    EXPECT_STREQ(pixtrim_last_error(), "");
}

TEST_F(SingleFile, OverlongMessageIsCutTo511Characters) {
    std::string path = dir / (std::string(600, 'a') + ".png");
    EXPECT_EQ(pixtrim_lossless(path.c_str(), (dir / "out.png").c_str()), 0);
    EXPECT_EQ(pixtrim_last_error(), ("cannot read " + path).substr(0, 511));
}

TEST_F(SingleFile, QualityIsClampedTo1Through100) {
    for (const char *extension : {".jpg", ".png"}) {
        for (const std::vector<int> &same :
             {std::vector<int>{1, 0, -5}, std::vector<int>{100, 101, 1000}}) {
            SCOPED_TRACE(std::string(extension) + " " + std::to_string(same[0]));
            std::vector<uint8_t> reference;
            for (int quality : same) {
                std::string out = dir / ("out" + std::string(extension));
                ASSERT_EQ(pixtrim_quality(input.c_str(), out.c_str(), quality), 1);
                if (reference.empty()) reference = read_bytes(out);
                EXPECT_EQ(read_bytes(out), reference) << quality;
            }
        }
    }
}

TEST_F(SingleFile, PngKeepsTheQualitysShareOfPixels) {
    struct share_case {
        int width, height, quality, new_width, new_height;
    };
    const share_case cases[] = {
        {1000, 800, 100, 1000, 800},
        {1000, 800, 99, 995, 796},  // 99 % still shrinks once a side reaches 100
        {1000, 800, 81, 900, 720},
        {1000, 800, 64, 800, 640},
        {1000, 800, 50, 707, 566},
        {1000, 800, 25, 500, 400},
        {1000, 800, 1, 100, 80},
        {120, 100, 99, 119, 99},
        {1, 1, 1, 1, 1},
        {3, 3, 50, 2, 2},
    };
    picture p;
    for (const share_case &c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " at " + std::to_string(c.quality));
        if (p.width != c.width) {
            // Flat grey cells keep every encode cheap.
            p = make_picture(c.width, c.height, [](int x, int y) {
                uint8_t v = static_cast<uint8_t>((x / 100 + y / 100) * 20);
                return std::vector<uint8_t>{v, v, v, 255};
            });
            save_png(input, p);
        }
        std::string out = dir / "out.png";
        ASSERT_EQ(pixtrim_quality(input.c_str(), out.c_str(), c.quality), 1);
        decoded d = decode_file(out);
        EXPECT_EQ(d.image.width, c.new_width);
        EXPECT_EQ(d.image.height, c.new_height);
        EXPECT_EQ(pixtrim_stats(), stats_record(file_length(input), file_length(out)));
    }
}

TEST_F(SingleFile, JpegIsFullSizeAtTheEncoderQuality) {
    ASSERT_EQ(pixtrim_quality(input.c_str(), (dir / "out.jpg").c_str(), 30), 1);
    rgba_image image = view_of(photo);
    ASSERT_EQ(encode_jpg((dir / "q30.jpg").c_str(), &image, 30), 1);
    EXPECT_EQ(read_bytes(dir / "out.jpg"), read_bytes(dir / "q30.jpg"));
    EXPECT_EQ(decode_file(dir / "out.jpg").image.width, 40);
}

TEST_F(SingleFile, BmpIsTheSameFileForEveryQuality) {
    std::vector<uint8_t> reference;
    for (int quality : {1, 50, 100}) {
        ASSERT_EQ(pixtrim_quality(input.c_str(), (dir / "out.bmp").c_str(), quality), 1);
        if (reference.empty()) reference = read_bytes(dir / "out.bmp");
        EXPECT_EQ(read_bytes(dir / "out.bmp"), reference) << quality;
    }
    EXPECT_EQ(decode_file(dir / "out.bmp").image.rgba, photo.rgba);
}
