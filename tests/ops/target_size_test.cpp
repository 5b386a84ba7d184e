// Target-size compression. This program is linked with --wrap for the JPEG
// encoder's entry points and our PNG encoder, so every JPEG and PNG encode
// the library makes passes through the recorders below unchanged, and the
// tests can watch the search itself.
#include <gtest/gtest.h>

#include <algorithm>

#include "codec/image_view.h"
#include "codec/resize.h"
#include "codec/write.h"
#include "pixtrim.h"
#include "support.h"

using namespace test_support;

namespace {

std::vector<int> s_jpeg_qualities;
int s_jpeg_transforms = 0;
int s_png_encodes = 0;
bool s_png_out_of_memory = false;

}  // namespace

// The wrapped functions under their C++ names, which --wrap needs.
extern "C" {
jpeg_result __real__Z16jpeg_encode_fileP8_IO_FILEPK10rgba_imageiPKhm(
    FILE *file, const rgba_image *image, int quality, const uint8_t *segments, size_t size);
jpeg_result __real__Z23jpeg_write_coefficientsP8_IO_FILEPK17jpeg_coefficientsiPKhm(
    FILE *file, const jpeg_coefficients *coefficients, int quality, const uint8_t *segments,
    size_t size);
jpeg_result __real__Z14jpeg_transformPK10rgba_imagebP17jpeg_coefficients(
    const rgba_image *image, bool subsample, jpeg_coefficients *out);
bool __real__Z10png_encodePK10rgba_imageiimP8mem_sinkP12zlib_scratch(
    const rgba_image *image, int channels, int filter_mode, uint64_t max_size, mem_sink *out,
    zlib_scratch *scratch);

jpeg_result __wrap__Z16jpeg_encode_fileP8_IO_FILEPK10rgba_imageiPKhm(
    FILE *file, const rgba_image *image, int quality, const uint8_t *segments, size_t size) {
    s_jpeg_qualities.push_back(quality);
    return __real__Z16jpeg_encode_fileP8_IO_FILEPK10rgba_imageiPKhm(file, image, quality,
                                                                    segments, size);
}

jpeg_result __wrap__Z23jpeg_write_coefficientsP8_IO_FILEPK17jpeg_coefficientsiPKhm(
    FILE *file, const jpeg_coefficients *coefficients, int quality, const uint8_t *segments,
    size_t size) {
    s_jpeg_qualities.push_back(quality);
    return __real__Z23jpeg_write_coefficientsP8_IO_FILEPK17jpeg_coefficientsiPKhm(
        file, coefficients, quality, segments, size);
}

jpeg_result __wrap__Z14jpeg_transformPK10rgba_imagebP17jpeg_coefficients(
    const rgba_image *image, bool subsample, jpeg_coefficients *out) {
    ++s_jpeg_transforms;
    return __real__Z14jpeg_transformPK10rgba_imagebP17jpeg_coefficients(image, subsample, out);
}

bool __wrap__Z10png_encodePK10rgba_imageiimP8mem_sinkP12zlib_scratch(
    const rgba_image *image, int channels, int filter_mode, uint64_t max_size, mem_sink *out,
    zlib_scratch *scratch) {
    ++s_png_encodes;
    if (s_png_out_of_memory) return false;  // as when its buffers cannot be had
    return __real__Z10png_encodePK10rgba_imageiimP8mem_sinkP12zlib_scratch(
        image, channels, filter_mode, max_size, out, scratch);
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
        s_jpeg_transforms = 0;
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

TEST_F(TargetSize, InPlaceWithEveryStepOutOfMemoryNamesNoAttempt) {
    std::vector<uint8_t> original = read_bytes(input);
    pixtrim_init();
    s_png_out_of_memory = true;
    int result = run(input, 100);
    s_png_out_of_memory = false;
    EXPECT_EQ(result, 0);
    // The empty staged file is no attempt: no size to name, no statistics.
    EXPECT_EQ(pixtrim_last_error(),
              std::string("target_size: could not get output <= 100 bytes (best: -1)"));
    EXPECT_EQ(pixtrim_stats(), std::string("{}"));
    EXPECT_EQ(read_bytes(input), original);
}

namespace {

// The search as the library made it when stb's writer wrote every probe:
// the probe qualities in order (the final re-encode last), the file left
// on disk, and whether it fits.
struct stb_search {
    std::vector<int> probes;
    std::vector<uint8_t> file;
    bool fits = false;
};

std::vector<uint8_t> stb_jpeg(const picture &p, const std::vector<uint8_t> &rgb, int quality) {
    std::vector<uint8_t> out;
    stbi_write_jpg_to_func(append_to, &out, p.width, p.height, 3, rgb.data(), quality);
    return out;
}

stb_search search_with_stb(const picture &p, int budget) {
    std::vector<uint8_t> rgb = flattened_rgb(p);
    stb_search s;
    int lo = 1, hi = 100, best = 0, chosen = 0;
    while (lo <= hi) {
        int mid = (lo + hi) / 2;
        s.probes.push_back(mid);
        s.file = stb_jpeg(p, rgb, mid);
        long size = static_cast<long>(s.file.size());
        if (size > budget) {
            hi = mid - 1;
        } else if (size <= budget / 4) {
            chosen = mid;
            break;
        } else {
            best = mid;
            lo = mid + 1;
        }
    }
    if (!chosen) chosen = best;
    if (chosen) {
        s.probes.push_back(chosen);
        s.file = stb_jpeg(p, rgb, chosen);
        s.fits = static_cast<long>(s.file.size()) <= budget;
    }
    return s;
}

// Transforms the search needs: one each time the probes change chroma mode.
int mode_runs(const std::vector<int> &probes) {
    int runs = 0;
    for (size_t i = 0; i < probes.size(); ++i)
        if (i == 0 || (probes[i] <= 90) != (probes[i - 1] <= 90)) ++runs;
    return runs;
}

}  // namespace

TEST_F(TargetSize, JpegSearchProbesAndWritesWhatItDidWithStbsWriter) {
    const picture pictures[] = {noise(16, 16), photo_like(120, 80), [] {
                                    picture p = noise(30, 20);
                                    for (int x = 0; x < 30; ++x) p.at(x, 7)[3] = uint8_t(x * 8);
                                    return p;
                                }()};
    for (const picture &p : pictures) {
        photo = p;
        save_png(input, photo);
        std::vector<uint8_t> rgb = flattened_rgb(p);
        auto size_at = [&](int q) { return static_cast<int>(stb_jpeg(p, rgb, q).size()); };
        // One byte, everything fits, the quarter stop at once and later, and
        // budgets on both sides of chosen sizes in both chroma modes.
        std::vector<int> budgets = {1, size_at(100), 4 * size_at(50), 4 * size_at(20) + 3};
        for (int q : {5, 30, 60, 89, 90, 91, 96}) {
            budgets.push_back(size_at(q));
            budgets.push_back(size_at(q) - 1);
        }
        for (int budget : budgets) {
            std::string out = dir / "out.jpg";
            stb_search expected = search_with_stb(p, budget);
            int result = run(out, budget);
            std::string what = std::to_string(p.width) + "x" + std::to_string(p.height) +
                               " at a budget of " + std::to_string(budget);
            EXPECT_EQ(result, expected.fits ? 1 : 0) << what;
            EXPECT_EQ(s_jpeg_qualities, expected.probes) << what;
            EXPECT_EQ(s_jpeg_transforms, mode_runs(expected.probes)) << what;
            EXPECT_TRUE(read_bytes(out) == expected.file) << what;
            long written = static_cast<long>(expected.file.size());
            EXPECT_EQ(pixtrim_stats(), stats_record(file_length(input), written)) << what;
            if (!expected.fits) {
                EXPECT_EQ(pixtrim_last_error(), "target_size: could not get output <= " +
                                                    std::to_string(budget) + " bytes (best: " +
                                                    std::to_string(written) + ")");
            }
        }
    }
}

TEST_F(TargetSize, JpegSearchOnCorpusPicturesIsTheOneStbsWriterMade) {
    namespace fs = std::filesystem;
    fs::path corpus = fs::path(PIXTRIM_CORPUS_DIR) / "jpeg";
    if (!fs::is_directory(corpus)) GTEST_SKIP() << "corpus not found at " << corpus << "; skipping";
    std::vector<fs::path> files;
    for (const fs::directory_entry &entry : fs::recursive_directory_iterator(corpus))
        if (entry.is_regular_file() && entry.path().extension() == ".jpg")
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    int searched = 0;
    for (const fs::path &file : files) {
        if (searched == 6) break;
        decoded d = decode_file(file);
        if (!d.ok || d.image.rgba.size() / 4 > 300000 || d.image.width < 32) continue;
        // As a PNG, so the input's own JPEG does not compete with the search.
        input = dir / "in.png";
        save_png(input, d.image);
        std::vector<uint8_t> rgb = flattened_rgb(d.image);
        for (int quality : {75, 93}) {
            int budget = static_cast<int>(stb_jpeg(d.image, rgb, quality).size()) - 1;
            std::string out = dir / "out.jpg";
            stb_search expected = search_with_stb(d.image, budget);
            EXPECT_EQ(run(out, budget), expected.fits ? 1 : 0) << file;
            EXPECT_EQ(s_jpeg_qualities, expected.probes) << file;
            EXPECT_TRUE(read_bytes(out) == expected.file) << file;
        }
        ++searched;
    }
    EXPECT_EQ(searched, 6);
}
