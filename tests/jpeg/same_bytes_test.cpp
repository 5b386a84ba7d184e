// Our JPEG encoder must write exactly the bytes stb's writer gives for the
// picture's RGB composited onto white: every JPEG the library writes, and
// every size the target-size search sees, depends on it. The flattening is
// computed here, not with the library's routine. This file is built once
// for each path of the encoder (SSE2, scalar, and with -march=native).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "codec/jpeg/jpeg.h"
#include "jpeg/reference_jpeg.h"
#include "support.h"

namespace {

using bytes = std::vector<uint8_t>;
using test_support::flattened_rgb;
using test_support::make_picture;
using test_support::picture;
namespace fs = std::filesystem;

const int kQualities[] = {1, 2, 10, 25, 50, 75, 89, 90, 91, 95, 99, 100};

bytes stb_jpeg(const picture &p, int quality) {
    return stb_reference_jpeg(flattened_rgb(p).data(), p.width, p.height, quality);
}

// Runs write into a memory stream and returns what it wrote.
template <typename Write>
bytes captured(Write write) {
    char *data = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&data, &size);
    EXPECT_NE(stream, nullptr);
    jpeg_result result = write(stream);
    fclose(stream);
    bytes out(data, data + size);
    free(data);
    EXPECT_EQ(result, JPEG_OK);
    return out;
}

rgba_image view(const picture &p) {
    return {p.width, p.height, const_cast<uint8_t *>(p.rgba.data())};
}

bytes our_jpeg(const picture &p, int quality) {
    rgba_image image = view(p);
    return captured([&](FILE *file) { return jpeg_encode_file(file, &image, quality); });
}

// Both routes through the encoder, the direct one and the one the
// target-size search takes, against stb.
void expect_same(const picture &p, const std::vector<int> &qualities, const std::string &what) {
    bytes expected[2];
    jpeg_coefficients held[2] = {};
    rgba_image image = view(p);
    for (int quality : qualities) {
        bytes reference = stb_jpeg(p, quality);
        ASSERT_FALSE(reference.empty()) << what;
        EXPECT_TRUE(our_jpeg(p, quality) == reference)
            << what << " " << p.width << "x" << p.height << " at quality " << quality;
        jpeg_coefficients &c = held[jpeg_subsamples(quality) ? 1 : 0];
        if (!c.blocks) {
            ASSERT_EQ(jpeg_transform(&image, jpeg_subsamples(quality), &c), JPEG_OK);
        }
        EXPECT_TRUE(captured([&](FILE *file) { return jpeg_write_coefficients(file, &c, quality); }) ==
                    reference)
            << what << " " << p.width << "x" << p.height << " from coefficients at quality "
            << quality;
    }
    jpeg_release(&held[0]);
    jpeg_release(&held[1]);
}

picture noise(int width, int height, uint32_t seed, bool random_alpha = false) {
    std::mt19937 rng(seed);
    return make_picture(width, height, [&](int, int) {
        uint32_t v = rng();
        return std::vector<uint8_t>{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16),
                                    random_alpha ? uint8_t(v >> 24) : uint8_t(255)};
    });
}

picture gradient(int width, int height) {
    return make_picture(width, height, [&](int x, int y) {
        return std::vector<uint8_t>{uint8_t(x * 255 / width), uint8_t(y * 255 / height),
                                    uint8_t((x + y) * 127 / (width + height)), 255};
    });
}

TEST(JpegLikeStb, EverySideAroundTheBlockSizesInBothChromaModes) {
    const int sides[] = {1, 7, 8, 9, 15, 16, 17};
    for (int width : sides)
        for (int height : sides)
            expect_same(noise(width, height, static_cast<uint32_t>(width * 100 + height)),
                        {10, 90, 91, 100}, "noise");
}

TEST(JpegLikeStb, LargerPicturesAtEveryQualityOfInterest) {
    std::vector<int> all(std::begin(kQualities), std::end(kQualities));
    expect_same(noise(301, 203, 5), all, "noise");
    expect_same(gradient(256, 240), all, "gradient");
    expect_same(test_support::photo_like(333, 190), all, "photo-like");
}

TEST(JpegLikeStb, FlatGreyAndExtremePictures) {
    for (uint8_t level : {0, 1, 128, 254, 255}) {
        picture flat = make_picture(40, 24, [&](int, int) {
            return std::vector<uint8_t>{level, level, level, 255};
        });
        expect_same(flat, {1, 50, 90, 91, 100}, "flat " + std::to_string(level));
    }
    picture grey = make_picture(70, 45, [](int x, int y) {
        uint8_t v = static_cast<uint8_t>(x * 3 + y * 5);
        return std::vector<uint8_t>{v, v, v, 255};
    });
    expect_same(grey, {25, 90, 91, 100}, "grey");
    // Alternating black and white pixels give the largest coefficients.
    picture checker = make_picture(64, 32, [](int x, int y) {
        uint8_t v = (x + y) % 2 ? 255 : 0;
        return std::vector<uint8_t>{v, uint8_t(255 - v), v, 255};
    });
    expect_same(checker, {1, 50, 90, 91, 100}, "checkerboard");
}

TEST(JpegLikeStb, TransparentPicturesAreFlattenedOntoWhite) {
    expect_same(noise(45, 29, 9, true), {10, 75, 90, 91, 100}, "random alpha");
    picture clear = noise(33, 18, 3);
    for (size_t i = 3; i < clear.rgba.size(); i += 4) clear.rgba[i] = 0;
    expect_same(clear, {50, 95}, "fully transparent");
    picture half = noise(50, 20, 4);
    for (int y = 0; y < 20; ++y)
        for (int x = 25; x < 50; ++x) half.at(x, y)[3] = static_cast<uint8_t>(x * 5);
    expect_same(half, {50, 95}, "half transparent");
}

// Every colour byte under every alpha, in the picture (x = colour, y = alpha).
// A flattening that rounds instead of truncating changes half the pixels.
TEST(JpegLikeStb, FlatteningTruncatesForEveryColourAndAlpha) {
    picture pairs = make_picture(256, 256, [](int x, int y) {
        return std::vector<uint8_t>{uint8_t(x), uint8_t(255 - x), uint8_t(x ^ 0x5A), uint8_t(y)};
    });
    bytes rgb = flattened_rgb(pairs);
    for (int a = 0; a < 256; a += 51)  // the expectation itself, at a few points
        for (int c = 0; c < 256; c += 17)
            ASSERT_EQ(rgb[(static_cast<size_t>(a) * 256 + c) * 3], c * a / 255 + 255 - a);
    expect_same(pairs, {90, 100}, "colour and alpha pairs");
}

TEST(JpegLikeStb, WidestPictureTheHeaderCanCarry) {
    expect_same(noise(65535, 2, 11), {75, 95}, "65535-wide strip");
    expect_same(noise(3, 2000, 12), {75, 95}, "tall strip");
}

TEST(JpegLikeStb, SidesTheHeaderCannotCarryAndMismatchedChromaAreRefused) {
    picture p = noise(2, 2, 1);
    rgba_image image = view(p);
    jpeg_coefficients c;
    for (int32_t width : {0, 65536}) {
        image.width = width;
        EXPECT_EQ(jpeg_encode_file(stdout, &image, 75), JPEG_BAD_INPUT);
        EXPECT_EQ(jpeg_transform(&image, true, &c), JPEG_BAD_INPUT);
        EXPECT_EQ(c.blocks, nullptr);
    }
    // Averaged chroma cannot be coded as whole chroma, nor the other way.
    image.width = 2;
    ASSERT_EQ(jpeg_transform(&image, true, &c), JPEG_OK);
    EXPECT_EQ(jpeg_write_coefficients(stdout, &c, 91), JPEG_BAD_INPUT);
    jpeg_release(&c);
    ASSERT_EQ(jpeg_transform(&image, false, &c), JPEG_OK);
    EXPECT_EQ(jpeg_write_coefficients(stdout, &c, 90), JPEG_BAD_INPUT);
    jpeg_release(&c);
}

TEST(JpegLikeStb, FailedWritesAreReported) {
    FILE *full = fopen("/dev/full", "wb");
    if (!full) GTEST_SKIP() << "/dev/full is missing";
    setvbuf(full, nullptr, _IONBF, 0);
    picture p = noise(64, 64, 2);
    rgba_image image = view(p);
    EXPECT_EQ(jpeg_encode_file(full, &image, 75), JPEG_WRITE_FAILED);
    fclose(full);
}

// Every decodable picture of the corpus, as the library would load it. The
// builds of the other paths take the qualities at the ends and around the
// change of chroma mode, which keeps the sanitizer run short; the generated
// pictures above cover every quality on every path.
TEST(JpegLikeStb, CorpusPicturesAtEveryQualityOfInterest) {
    fs::path corpus = PIXTRIM_CORPUS_DIR;
    if (!fs::is_directory(corpus)) GTEST_SKIP() << "corpus not found at " << corpus << "; skipping";
#ifdef PIXTRIM_JPEG_OTHER_PATH
    std::vector<int> all = {1, 50, 90, 91, 100};
#else
    std::vector<int> all(std::begin(kQualities), std::end(kQualities));
#endif
    int compared = 0;
    for (const fs::directory_entry &entry : fs::recursive_directory_iterator(corpus)) {
        if (!entry.is_regular_file()) continue;
        bytes file = test_support::read_bytes(entry.path());
        int w = 0, h = 0, n = 0;
        uint8_t *px = file.empty() ? nullptr
                                   : stbi_load_from_memory(file.data(), static_cast<int>(file.size()),
                                                           &w, &h, &n, 4);
        if (!px) continue;
        picture p;
        p.width = w;
        p.height = h;
        p.rgba.assign(px, px + static_cast<size_t>(w) * h * 4);
        stbi_image_free(px);
        expect_same(p, all, entry.path().string());
        ++compared;
    }
    EXPECT_GT(compared, 100);
}

}  // namespace
