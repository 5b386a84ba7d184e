// Our zlib compressor and PNG encoder must write exactly what stb's own
// write: the PNG optimiser's choices and every PNG's bytes depend on it.
// Each case runs both over the same data and compares byte for byte.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "codec/png/deflate.h"
#include "codec/png/png.h"
#include "deflate/reference_stb.h"
#include "support.h"

namespace {

using bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

bytes ours(const bytes &data, int level) {
    int length = -1;
    unsigned char *z =
        zlib_compress(const_cast<uint8_t *>(data.data()), static_cast<int>(data.size()), &length, level);
    bytes out;
    if (z) out.assign(z, z + length);
    free(z);
    return out;
}

void expect_same_zlib(const bytes &data, int level, const std::string &what) {
    bytes expected = stb_reference_zlib(data.data(), static_cast<int>(data.size()), level);
    ASSERT_FALSE(expected.empty()) << what;
    bytes actual = ours(data, level);
    ASSERT_EQ(actual.size(), expected.size()) << what << ", level " << level;
    EXPECT_TRUE(actual == expected) << what << ", level " << level << ": bytes differ";
}

bytes random_bytes(size_t n, uint32_t seed, int alphabet) {
    std::mt19937 rng(seed);
    bytes b(n);
    for (uint8_t &c : b) c = static_cast<uint8_t>(rng() % alphabet);
    return b;
}

bytes repeated(const bytes &unit, size_t n) {
    bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = unit[i % unit.size()];
    return b;
}

// The differential cases run once on each compressor path; a path this
// build or processor lacks is skipped.
struct on_path : ::testing::TestWithParam<zlib_path> {
    zlib_path before = zlib_current_path();
    void SetUp() override {
        if (!zlib_use_path(GetParam())) GTEST_SKIP() << "this build or processor lacks the path";
    }
    void TearDown() override { zlib_use_path(before); }
};

std::string path_name(const ::testing::TestParamInfo<zlib_path> &info) {
    static const char *const kNames[] = {"scalar", "sse2", "avx2"};
    return kNames[info.param];
}

using ZlibLikeStb = on_path;
using PngLikeStb = on_path;
const auto kEveryPath = ::testing::Values(ZLIB_SCALAR, ZLIB_SSE2, ZLIB_AVX2);
INSTANTIATE_TEST_SUITE_P(Path, ZlibLikeStb, kEveryPath, path_name);
INSTANTIATE_TEST_SUITE_P(Path, PngLikeStb, kEveryPath, path_name);

// Short inputs end inside a bucket's first wide compare, and their last
// positions are too near the end for 8-byte loads.
TEST_P(ZlibLikeStb, ShortBuffersIncludingEmpty) {
    const bytes period3 = {1, 2, 3}, period4 = {9, 8, 9, 7};
    for (size_t n = 0; n <= 300; ++n) {
        std::string size = " of " + std::to_string(n);
        expect_same_zlib(bytes(n, 0), 8, "zeros" + size);
        expect_same_zlib(random_bytes(n, 7, 256), 8, "random" + size);
        expect_same_zlib(random_bytes(n, 7, 3), 8, "three values" + size);
        expect_same_zlib(repeated(period3, n), 8, "period 3" + size);
        expect_same_zlib(repeated(period4, n), 8, "period 4" + size);
    }
}

// Runs exercise the longest matches (258) and the last few bytes, which
// stb leaves as literals; the lengths straddle 258 and the 8-byte compares.
TEST_P(ZlibLikeStb, RunsAndMatchLengthLimits) {
    for (size_t n : {257, 258, 259, 260, 261, 262, 266, 516, 517, 1000, 100000})
        expect_same_zlib(bytes(n, 0xAB), 8, "run of " + std::to_string(n));
    for (size_t period : {1, 2, 3, 4, 7, 8, 9, 15, 16, 17, 31, 32, 33, 255, 256, 257, 258, 259}) {
        bytes unit = random_bytes(period, static_cast<uint32_t>(period), 256);
        expect_same_zlib(repeated(unit, 20000), 8, "period " + std::to_string(period));
    }
}

// Matches exactly at, just inside and just past the 32 KiB window, for both
// the search and the one-byte-later lazy look. Zeros around the copied block
// keep the whole compressible, so stb does not fall back to stored blocks.
TEST_P(ZlibLikeStb, WindowBoundaries) {
    bytes block = random_bytes(300, 11, 256);
    for (size_t distance : {32765, 32766, 32767, 32768, 32769, 32770}) {
        for (size_t shift : {0, 1}) {
            bytes b(distance + 1000, 0);
            memcpy(&b[0], block.data(), block.size());
            memcpy(&b[distance + shift], block.data(), block.size());
            expect_same_zlib(b, 8, "copy at distance " + std::to_string(distance + shift));
        }
    }
}

// Inputs several times the compressor's 256 KiB read-ahead buffer, so
// matches and lazy looks straddle the points where it slides, and lengths
// around the buffer's size.
TEST_P(ZlibLikeStb, InputsLongerThanTheReadAheadBuffer) {
    for (size_t period : {300, 4099, 32000, 32767, 40000}) {
        bytes data = repeated(random_bytes(period, static_cast<uint32_t>(period), 256), 1 << 20);
        for (size_t at = 0; at < data.size(); at += 77777) data[at] ^= 0x5A;  // break long matches
        expect_same_zlib(data, 8, "period " + std::to_string(period) + " over 1 MiB");
    }
    for (size_t n : {262143, 262144, 262145, 262144 + 260, 524288 + 3})
        expect_same_zlib(random_bytes(n, static_cast<uint32_t>(n), 7), 8, std::to_string(n) + " bytes");
}

// Few distinct byte values fill the buckets, so their trimming (dropping the
// older half) and the nearest-of-equal-matches rule decide the output.
TEST_P(ZlibLikeStb, FullBucketsAndSmallAlphabets) {
    for (int alphabet : {2, 3, 4, 6, 16})
        for (size_t n : {5000, 70000, 300000})
            expect_same_zlib(random_bytes(n, static_cast<uint32_t>(n + alphabet), alphabet), 8,
                             "alphabet " + std::to_string(alphabet));
}

// Random bytes compress worse than stored blocks: stb then stores them in
// blocks of at most 32767 bytes, the last one flagged final.
TEST_P(ZlibLikeStb, IncompressibleDataFallsBackToStoredBlocks) {
    for (size_t n : {100, 32766, 32767, 32768, 65534, 65535, 200000}) {
        bytes data = random_bytes(n, static_cast<uint32_t>(n), 256);
        expect_same_zlib(data, 8, "random of " + std::to_string(n));
        EXPECT_EQ(ours(data, 8)[2] & 0x06, 0) << "stored block expected for " << n;
    }
}

TEST_P(ZlibLikeStb, EveryLevelUpToOurLimit) {
    bytes data = random_bytes(60000, 3, 5);
    for (int level : {-3, 0, 4, 5, 6, 8, 9, 13, kMaxZlibLevel}) expect_same_zlib(data, level, "levels");
}

TEST(ZlibLimits, LevelsBeyondOurLimitAreRefused) {
    int length = -1;
    bytes data(100, 1);
    EXPECT_EQ(zlib_compress(data.data(), 100, &length, kMaxZlibLevel + 1), nullptr);
    EXPECT_EQ(length, -1);
}

// stb's own compressor stops the process when memory runs out; ours
// returns null, which both PNG encoders report as a failed encode. A child
// process with a capped address space shows it (sanitizers reserve more
// address space than any cap allows, so their builds skip this).
TEST(ZlibLimits, RunningOutOfMemoryFailsInsteadOfStopping) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "address space caps do not work under the address sanitizer";
#else
    // Random bytes: the block the output starts in (a quarter of the input)
    // must grow several times, and the cap leaves room for the first only.
    bytes data = random_bytes(64 << 20, 5, 256);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rlim_t limit = test_support::address_space_in_use() + (20 << 20);
        rlimit cap = {limit, limit};
        if (setrlimit(RLIMIT_AS, &cap) != 0) _exit(3);
        int length = 0;
        unsigned char *z = zlib_compress(data.data(), static_cast<int>(data.size()), &length, 8);
        _exit(z == nullptr ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the compressor stopped the process";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the compressor did not report running out of memory";
#endif
}

// stb's PNG writer in the library (used by the tests and the benchmark's
// floor) reaches our compressor through stb's hook: a level we refuse makes
// its encode fail where stb's own succeeds.
TEST(StbWriter, InTheLibraryUsesOurCompressor) {
    bytes grey(16 * 16, 9), png;
    stbi_write_png_compression_level = kMaxZlibLevel + 1;
    int encoded = stbi_write_png_to_func(test_support::append_to, &png, 16, 16, 1, grey.data(), 16);
    stbi_write_png_compression_level = 8;
    EXPECT_EQ(encoded, 0);
    bytes rgba(16 * 16 * 4, 9);
    EXPECT_FALSE(stb_reference_png(rgba.data(), 16, 16, 1, 5, kMaxZlibLevel + 1).empty());
}

// The library's PNG of the picture in a layout, as long as it fits max_size;
// empty when the encoder gives up.
bytes library_png(const uint8_t *rgba, int width, int height, int channels, int mode,
                  uint64_t max_size = INT32_MAX) {
    rgba_image image = {width, height, const_cast<uint8_t *>(rgba)};
    mem_sink out = {nullptr, 0, 0};
    zlib_scratch scratch = {nullptr, nullptr, nullptr, 0};
    bytes png;
    if (png_encode(&image, channels, mode, max_size, &out, &scratch))
        png.assign(out.data, out.data + out.size);
    free(out.data);
    zlib_release(&scratch);
    return png;
}

// Every filter mode's PNG from the library's encoder equals the one stb's
// own writer makes from the layout's pixels with its own compressor.
void expect_same_pngs(const uint8_t *rgba, int width, int height, int channels,
                      const std::string &what) {
    for (int mode = 0; mode <= 5; ++mode) {
        bytes expected = stb_reference_png(rgba, width, height, channels, mode, 8);
        bytes actual = library_png(rgba, width, height, channels, mode);
        ASSERT_FALSE(expected.empty()) << what;
        EXPECT_TRUE(actual == expected)
            << what << ", " << channels << " channels, filter mode " << mode;
    }
}

// The layout the PNG optimiser picks for a picture, as the smallest exact one.
int chosen_channels(const uint8_t *rgba, size_t pixels) {
    bool opaque = true, grey = true;
    for (size_t i = 0; i < pixels; ++i) {
        const uint8_t *p = rgba + i * 4;
        opaque = opaque && p[3] == 255;
        grey = grey && p[0] == p[1] && p[1] == p[2];
    }
    return opaque ? (grey ? 1 : 3) : (grey ? 2 : 4);
}

// Per-pixel hash noise, alpha included: fixed Huffman codes it larger than
// stored blocks, so stb falls back to those.
test_support::picture noise(int width, int height) {
    return test_support::make_picture(width, height, [](int x, int y) {
        uint32_t h = (static_cast<uint32_t>(x) * 2654435761u) ^ (static_cast<uint32_t>(y) * 40503u);
        h *= 2246822519u;
        return std::vector<uint8_t>{uint8_t(h >> 24), uint8_t(h >> 16), uint8_t(h >> 8), uint8_t(h)};
    });
}

TEST_P(PngLikeStb, GeneratedPicturesInEveryLayoutAndFilterMode) {
    using test_support::make_picture;
    test_support::picture pictures[] = {
        test_support::photo_like(97, 61),
        make_picture(1, 1, [](int, int) { return std::vector<uint8_t>{1, 2, 3, 4}; }),
        make_picture(300, 1, [](int x, int) { return std::vector<uint8_t>{uint8_t(x), 0, 0, 255}; }),
        make_picture(1, 300, [](int, int y) { return std::vector<uint8_t>{9, uint8_t(y), 9, uint8_t(y)}; }),
        make_picture(200, 200, [](int x, int y) {  // flat areas and sharp edges
            uint8_t v = ((x / 25 + y / 25) % 2) ? 240 : 16;
            return std::vector<uint8_t>{v, v, uint8_t(255 - v), uint8_t(x < 100 ? 255 : 128)};
        }),
        test_support::photo_like(640, 360),  // rows read through several buffer slides
        noise(150, 120),
    };
    for (const test_support::picture &p : pictures)
        for (int channels = 1; channels <= 4; ++channels)
            expect_same_pngs(p.rgba.data(), p.width, p.height, channels,
                             std::to_string(p.width) + "x" + std::to_string(p.height));
}

// The PNG optimiser encodes attempt after attempt with the compressor's
// memory and the block of an earlier attempt: nothing an encoding leaves
// there, finished or given up, may reach the next file.
TEST_P(PngLikeStb, KeptMemoryWritesWhatFreshMemoryWrites) {
    test_support::picture pictures[] = {
        noise(150, 120),                     // far, full buckets; stored blocks
        test_support::photo_like(640, 360),  // a longer stream than the next
        test_support::photo_like(97, 61),
        test_support::make_picture(40, 30, [](int x, int) {
            return std::vector<uint8_t>{uint8_t(x % 3), 7, 7, 255};
        }),
    };
    mem_sink out = {nullptr, 0, 0};
    zlib_scratch scratch = {nullptr, nullptr, nullptr, 0};
    for (const test_support::picture &p : pictures) {
        rgba_image image = {p.width, p.height, const_cast<uint8_t *>(p.rgba.data())};
        for (int channels : {3, 4}) {
            for (int mode = 0; mode <= 5; ++mode) {
                bytes expected =
                    stb_reference_png(p.rgba.data(), p.width, p.height, channels, mode, 8);
                out.size = 0;
                EXPECT_FALSE(png_encode(&image, channels, mode, expected.size() / 2, &out,
                                        &scratch));
                out.size = 0;
                ASSERT_TRUE(png_encode(&image, channels, mode, INT32_MAX, &out, &scratch));
                EXPECT_TRUE(bytes(out.data, out.data + out.size) == expected)
                    << p.width << "x" << p.height << ", " << channels << " channels, mode "
                    << mode;
            }
        }
    }
    free(out.data);
    zlib_release(&scratch);
}

// A chunk's CRC, folded 16 bytes at a time where the processor can, against
// the bit-by-bit definition, around every length where the folding starts
// and ends.
TEST_P(PngLikeStb, ChunkCrcsOfEveryLength) {
    auto bitwise_crc = [](const uint8_t *p, size_t n) {
        uint32_t crc = ~0u;
        for (size_t i = 0; i < n; ++i) {
            crc ^= p[i];
            for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
        }
        return ~crc;
    };
    bytes data = random_bytes(70000, 99, 256);
    for (size_t n = 0; n <= 300; ++n)
        EXPECT_EQ(png_crc(data.data() + n % 7, n), bitwise_crc(data.data() + n % 7, n)) << n;
    for (size_t n : {4095, 4096, 65537, 69990})
        EXPECT_EQ(png_crc(data.data() + 3, n), bitwise_crc(data.data() + 3, n)) << n;
}

// An encode is finished only when its file fits the limit, and gives up
// before its block grows far past it: that is what keeps the PNG
// optimiser's memory at two files.
TEST(PngLimit, FinishesExactlyTheFilesThatFitAndGivesUpEarlyOnTheRest) {
    test_support::picture photo = test_support::photo_like(300, 200);
    test_support::picture random = noise(120, 90);
    for (const test_support::picture *p : {&photo, &random}) {
        for (int mode : {0, 5}) {
            const uint8_t *rgba = p->rgba.data();
            bytes full = library_png(rgba, p->width, p->height, 3, mode);
            ASSERT_FALSE(full.empty());
            EXPECT_EQ(library_png(rgba, p->width, p->height, 3, mode, full.size()), full);
            EXPECT_TRUE(library_png(rgba, p->width, p->height, 3, mode, full.size() - 1).empty());

            rgba_image image = {p->width, p->height, const_cast<uint8_t *>(rgba)};
            mem_sink out = {nullptr, 0, 0};
            zlib_scratch scratch = {nullptr, nullptr, nullptr, 0};
            EXPECT_FALSE(png_encode(&image, 3, mode, full.size() / 2, &out, &scratch));
            // mem_write's first block holds 4096 bytes.
            EXPECT_LE(out.capacity, std::max<uint64_t>(full.size() / 2 + 64, 4096)) << "mode " << mode;
            // A kept block with room for the whole file stops as early.
            out.size = 0;
            ASSERT_TRUE(png_encode(&image, 3, mode, INT32_MAX, &out, &scratch));
            out.size = 0;
            EXPECT_FALSE(png_encode(&image, 3, mode, full.size() / 2, &out, &scratch));
            EXPECT_LE(out.size, full.size() / 2 + 64) << "mode " << mode;
            free(out.data);
            zlib_release(&scratch);
        }
    }
}

// Real-world pictures: every corpus file the decoder reads, as RGBA and in
// the layout the optimiser would choose for it.
TEST_P(PngLikeStb, CorpusPicturesInEveryFilterMode) {
    fs::path corpus = PIXTRIM_CORPUS_DIR;
    std::ifstream table(corpus / "expect.tsv");
    if (!table) GTEST_SKIP() << "corpus not found at " << corpus << "; skipping";
    std::string line;
    std::getline(table, line);  // header
    int compared = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string path, size, format, decodes;
        fields >> path >> size >> format >> decodes;
        if (decodes != "1") continue;
        bytes file = test_support::read_bytes(corpus / path);
        int width = 0, height = 0, channels = 0;
        uint8_t *rgba = stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &width,
                                              &height, &channels, 4);
        if (!rgba) continue;
        size_t pixels = static_cast<size_t>(width) * height;
        expect_same_pngs(rgba, width, height, 4, path);
        int chosen = chosen_channels(rgba, pixels);
        if (chosen != 4) expect_same_pngs(rgba, width, height, chosen, path);
        stbi_image_free(rgba);
        ++compared;
    }
    EXPECT_GT(compared, 200);
}

}  // namespace
