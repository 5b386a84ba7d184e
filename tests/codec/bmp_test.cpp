// Our reader of plain BMPs against stb's decoder: every file the reader
// takes decodes to the decoder's pixels exactly, and every other file is
// left to the decoder.
#include "codec/bmp/bmp.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <random>
#include <string>

#include "codec/bmp_file.h"
#include "codec/plain_reader.h"
#include "support.h"

using namespace test_support;
namespace fs = std::filesystem;

namespace {

plain_result reader_result(const std::vector<uint8_t> &file) {
    return test_support::reader_result(bmp_decode_plain, file);
}

pixels_of expect_plain_and_same(const std::vector<uint8_t> &file, const std::string &what) {
    return test_support::expect_plain_and_same(bmp_decode_plain, file, what);
}

std::vector<uint8_t> random_rows(const bmp_shape &s, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> rows(size_t(bmp_stride(s) * std::abs(s.height)));
    for (uint8_t &b : rows) b = uint8_t(rng());
    return rows;
}

// Rows whose fourth byte of every pixel is alpha.
std::vector<uint8_t> rows_with_alpha(const bmp_shape &s, uint8_t alpha, uint32_t seed) {
    std::vector<uint8_t> rows = random_rows(s, seed);
    for (size_t i = 3; i < rows.size(); i += 4) rows[i] = alpha;
    return rows;
}

}  // namespace

TEST(PlainBmp, ReadsEveryHeaderSizeWidthAndRowOrderAsTheDecoderDoes) {
    uint32_t seed = 1;
    for (uint32_t header : {12u, 40u, 56u, 108u, 124u})
        for (uint16_t bits : {24, 32}) {
            if (header == 12 && bits == 32) continue;  // OS/2 files have no alpha
            for (int32_t width : {1, 2, 3, 4, 5, 7, 8, 33})
                for (int32_t height : {1, 3, -1, -4}) {
                    if (header == 12 && height < 0) continue;  // unsigned there
                    bmp_shape s;
                    s.header_size = header, s.bits_per_pixel = bits;
                    s.width = width, s.height = height;
                    expect_plain_and_same(bmp_file(s, random_rows(s, seed++)),
                                          std::to_string(header) + "/" + std::to_string(bits) +
                                              " " + std::to_string(width) + "x" +
                                              std::to_string(height));
                }
        }
}

TEST(PlainBmp, TakesAllZeroAlphaAsOpaqueOnlyInUncompressedFiles) {
    bmp_shape s;
    s.bits_per_pixel = 32, s.width = 5, s.height = -3;
    for (uint32_t header : {40u, 124u}) {
        s.header_size = header;
        pixels_of zero = expect_plain_and_same(bmp_file(s, rows_with_alpha(s, 0, 1)), "zero");
        EXPECT_EQ(zero.rgba[3], 255);
        std::vector<uint8_t> rows = rows_with_alpha(s, 0, 2);
        rows[rows.size() - 1] = 1;  // one pixel's alpha keeps every pixel's
        pixels_of some = expect_plain_and_same(bmp_file(s, rows), "one alpha");
        EXPECT_EQ(some.rgba[3], 0);
        EXPECT_EQ(some.rgba.back(), 1);
        // The one alpha in the first stored row counts as much as in the last.
        rows = rows_with_alpha(s, 0, 4);
        rows[3] = 7;
        pixels_of first = expect_plain_and_same(bmp_file(s, rows), "alpha in the first row");
        EXPECT_EQ(first.rgba[3], 7);
        EXPECT_EQ(first.rgba.back(), 0);
    }
    // With explicit masks the alpha is what the file says, even all zero.
    s.compression = 3;
    pixels_of masked = expect_plain_and_same(bmp_file(s, rows_with_alpha(s, 0, 3)), "masks");
    EXPECT_EQ(masked.rgba[3], 0);
}

TEST(PlainBmp, NeedsEveryPixelButNotTheLastRowsPadding) {
    bmp_shape s;
    s.width = 3, s.height = 2;  // 9 bytes a row, padded to 12
    std::vector<uint8_t> rows = random_rows(s, 4);
    rows.resize(rows.size() - 3);
    expect_plain_and_same(bmp_file(s, rows), "no last padding");
    rows.pop_back();
    EXPECT_EQ(reader_result(bmp_file(s, rows)), NOT_PLAIN);
}

TEST(PlainBmp, LeavesEveryOtherLayoutAndEveryRefusedFileToTheDecoder) {
    auto variant = [](auto change) {
        bmp_shape s;
        s.bits_per_pixel = 32, s.header_size = 124, s.width = 4, s.height = 2;
        change(s);
        return s;
    };
    const bmp_shape others[] = {
        variant([](bmp_shape &s) { s.offset_change = 4; }),  // a gap before the rows
        variant([](bmp_shape &s) { s.offset_change = -1; }),
        variant([](bmp_shape &s) { s.planes = 2; }),
        variant([](bmp_shape &s) { s.bits_per_pixel = 16; }),
        variant([](bmp_shape &s) { s.bits_per_pixel = 8; }),
        variant([](bmp_shape &s) { s.compression = 1; }),
        variant([](bmp_shape &s) { s.compression = 4; }),
        variant([](bmp_shape &s) { s.compression = -1; }),
        variant([](bmp_shape &s) { s.compression = 3, s.masks[3] = 0; }),
        variant([](bmp_shape &s) { s.compression = 3, s.masks[0] = 0xFF; }),
        variant([](bmp_shape &s) { s.compression = 3, s.header_size = 40; }),
        // The masks of the header, not those after it; the decoder refuses it.
        variant([](bmp_shape &s) { s.compression = 3, s.header_size = 56, s.offset_change = -12; }),
        variant([](bmp_shape &s) { s.compression = 3, s.bits_per_pixel = 24; }),
        variant([](bmp_shape &s) { s.header_size = 12; }),
        variant([](bmp_shape &s) { s.header_size = 64; }),
        variant([](bmp_shape &s) { s.width = 0; }),
        variant([](bmp_shape &s) { s.height = 0; }),
        variant([](bmp_shape &s) { s.width = kDecoderMaxSide + 1, s.height = 1; }),
        variant([](bmp_shape &s) { s.height = INT_MIN; }),
    };
    for (const bmp_shape &s : others) {
        std::vector<uint8_t> rows(4096, 0x5A);
        EXPECT_EQ(reader_result(bmp_file(s, rows)), NOT_PLAIN)
            << s.header_size << "/" << s.bits_per_pixel << " compression " << s.compression;
    }
    std::vector<uint8_t> not_bmp = bmp_file(bmp_shape{}, std::vector<uint8_t>(4, 0));
    not_bmp[1] = 'A';
    EXPECT_EQ(reader_result(not_bmp), NOT_PLAIN);
}

TEST(PlainBmp, ReadsTheCorpusFilesItTakesAsTheDecoderDoes) {
    fs::path corpus = PIXTRIM_CORPUS_DIR;
    if (!fs::is_directory(corpus)) GTEST_SKIP() << "corpus not found at " << corpus << "; skipping";
    int plain = 0;
    for (const fs::directory_entry &entry : fs::recursive_directory_iterator(corpus)) {
        if (!entry.is_regular_file()) continue;
        std::vector<uint8_t> file = read_bytes(entry.path());
        if (file.size() < 2 || file[0] != 'B' || file[1] != 'M') continue;
        if (reader_result(file) != PLAIN_DECODED) continue;
        expect_plain_and_same(file, entry.path().string());
        ++plain;
    }
    EXPECT_GE(plain, 7) << "plain BMPs in the corpus";
}
