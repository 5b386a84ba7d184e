// The structure checks in front of the decoder: each hostile shape is
// refused with its reason, and the valid neighbour of each still loads.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec/guard.h"
#include "codec/load.h"
#include "pixtrim.h"
#include "support.h"

namespace {

using test_support::scratch_dir;
using test_support::write_bytes;
using bytes = std::vector<uint8_t>;

bytes operator+(bytes a, const bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bytes be16(int v) { return {uint8_t(v >> 8), uint8_t(v)}; }
bytes le16(int v) { return {uint8_t(v), uint8_t(v >> 8)}; }
bytes le32(int64_t v) { return le16(int(v & 0xFFFF)) + le16(int((v >> 16) & 0xFFFF)); }

bytes segment(uint8_t marker, const bytes &payload) {
    return bytes{0xFF, marker} + be16(int(payload.size()) + 2) + payload;
}

const bytes kSoi = {0xFF, 0xD8}, kEoi = {0xFF, 0xD9};

// One Huffman table whose 16 code counts are given; its values are zeros.
bytes huffman_table(uint8_t class_and_id, const std::vector<int> &counts) {
    bytes table = {class_and_id};
    int symbols = 0;
    for (int i = 0; i < 16; ++i) {
        int count = i < int(counts.size()) ? counts[i] : 0;
        table.push_back(uint8_t(count));
        symbols += count;
    }
    return table + bytes(size_t(symbols), 0);
}

bytes frame_header(int width, int height) {
    return segment(0xC0, bytes{8} + be16(height) + be16(width) + bytes{1, 1, 0x11, 0});
}

const char *jpeg_hazard(const bytes &file) {
    return decode_hazard(file.data(), int32_t(file.size()), FMT_JPEG);
}

// A BITMAPINFOHEADER file; bits of 8 or fewer take the palette given.
bytes bmp_file(int width, int height, int bits, const bytes &pixels, const bytes &palette = {}) {
    int64_t offset = 14 + 40 + int64_t(palette.size());
    bytes header = bytes{'B', 'M'} + le32(offset + int64_t(pixels.size())) + le32(0) +
                   le32(offset) + le32(40) + le32(width) + le32(height) + le16(1) + le16(bits) +
                   le32(0) + le32(int64_t(pixels.size())) + le32(2835) + le32(2835) + le32(0) +
                   le32(0);
    return header + palette + pixels;
}

const char *bmp_hazard(const bytes &file) {
    return decode_hazard(file.data(), int32_t(file.size()), FMT_BMP);
}

const bytes kTwoGreys = {0, 0, 0, 0, 255, 255, 255, 0};

std::string load_message(const scratch_dir &dir, const bytes &file, const char *name) {
    std::string path = dir / name;
    write_bytes(path, file);
    rgba_image image = {-7, -7, nullptr};
    image_format format = FMT_NONE;
    if (load_rgba(path.c_str(), &image, &format)) {
        free(image.pixels);
        return "loaded";
    }
    EXPECT_EQ(image.width, -7) << "a refused file must leave the image untouched";
    EXPECT_EQ(format, FMT_NONE);
    return pixtrim_last_error();
}

}  // namespace

TEST(JpegHuffmanTables, ATableOfExactly256CodesPasses) {
    bytes file = kSoi + segment(0xC4, huffman_table(0x10, {0, 0, 0, 0, 0, 0, 0, 255, 1})) + kEoi;
    EXPECT_EQ(jpeg_hazard(file), nullptr);
}

TEST(JpegHuffmanTables, CodeCountsPast256AreRefused) {
    bytes file = kSoi + segment(0xC4, huffman_table(0x10, {0, 0, 0, 0, 0, 0, 0, 255, 2})) + kEoi;
    EXPECT_STREQ(jpeg_hazard(file), "bad huffman table");
}

TEST(JpegHuffmanTables, CountsRunningPastTheirSegmentAreRefused) {
    bytes table = huffman_table(0x00, {0, 3});
    table.pop_back();  // the counts promise 3 values, the segment holds 2
    EXPECT_STREQ(jpeg_hazard(kSoi + segment(0xC4, table) + kEoi), "bad huffman table");
    // A second table squeezed into the same segment must fit too.
    bytes two = huffman_table(0x00, {1}) + huffman_table(0x01, {0, 2});
    two.pop_back();
    EXPECT_STREQ(jpeg_hazard(kSoi + segment(0xC4, two) + kEoi), "bad huffman table");
}

TEST(JpegHuffmanTables, TheNineByteFileIsRefused) {
    bytes file = {0xFF, 0xD8, 0xFF, 0xC4, 0xFF, 0xFF, 0x13, 0xFF, 0xFF};
    EXPECT_STREQ(jpeg_hazard(file), "bad huffman table");
}

TEST(JpegHuffmanTables, TablesAfterAScanAreCheckedAndScanBytesAreNotMarkers) {
    bytes bad_table = segment(0xC4, huffman_table(0x11, {0, 0, 0, 0, 0, 0, 0, 255, 255}));
    // Scan data holding a stuffed 0xFF 0x00 before 0xC4, a restart marker and fill bytes.
    bytes scan = segment(0xDA, {1, 1, 0, 0, 63, 0}) + bytes{0x12, 0xFF, 0x00, 0xC4, 0x05, 0xFF,
                                                            0xD0, 0x34, 0xFF, 0xFF};
    bytes good = kSoi + frame_header(8, 8) + scan + segment(0xC4, huffman_table(0x10, {1})) + kEoi;
    EXPECT_EQ(jpeg_hazard(good), nullptr);
    bytes progressive_style = kSoi + frame_header(8, 8) + scan + bad_table + kEoi;
    EXPECT_STREQ(jpeg_hazard(progressive_style), "bad huffman table");
}

TEST(JpegHuffmanTables, BytesInsideOtherSegmentsAreSkipped) {
    // An embedded thumbnail's broken table is data of its segment, never parsed.
    bytes bad_table = segment(0xC4, huffman_table(0x10, {0, 0, 0, 0, 0, 0, 0, 255, 255}));
    bytes file = kSoi + segment(0xE1, bytes{'E', 'x', 'i', 'f', 0, 0} + bad_table) + kEoi;
    EXPECT_EQ(jpeg_hazard(file), nullptr);
    EXPECT_STREQ(jpeg_hazard(kSoi + bad_table + kEoi), "bad huffman table");
}

TEST(PixelCap, PicturesPast0x3FFFSquaredAreRefusedWhateverTheFormat) {
    // A comment makes the files long enough to hold pictures this large.
    bytes room = segment(0xFE, bytes(9000, 0)) + kEoi;
    EXPECT_EQ(jpeg_hazard(kSoi + frame_header(0x3FFF, 0x3FFF) + room), nullptr);
    EXPECT_STREQ(jpeg_hazard(kSoi + frame_header(0x3FFF, 0x4000) + room), "image too large");
    // Width times height counts, not either side alone.
    EXPECT_EQ(jpeg_hazard(kSoi + frame_header(60000, 4000) + room), nullptr);
    EXPECT_STREQ(jpeg_hazard(kSoi + frame_header(60000, 5000) + room), "image too large");
    // A top-down BMP gives a negative height.
    EXPECT_STREQ(bmp_hazard(bmp_file(23170, -23170, 24, {})), "image too large");
    bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R',
                 0, 0, 0x40, 0, 0, 0, 0x40, 1, 8, 0, 0, 0, 0, 0, 0, 0, 0};  // 16384 x 16385 grey
    EXPECT_STREQ(decode_hazard(png.data(), int32_t(png.size()), FMT_PNG), "image too large");
}

TEST(PngChunks, AChunkLongerThanTheRestOfTheFileIsRefused) {
    bytes signature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    bytes ihdr = {0, 0, 0, 13, 'I', 'H', 'D', 'R', 0, 0, 0, 1, 0, 0, 0, 1, 8, 0, 0, 0, 0, 0, 0, 0, 0};
    bytes idat_header = {0x7F, 0xFF, 0xFF, 0xF0, 'I', 'D', 'A', 'T'};
    bytes file = signature + ihdr + idat_header + bytes{0x78, 0x9C};
    EXPECT_STREQ(decode_hazard(file.data(), int32_t(file.size()), FMT_PNG), "chunk too long");
    // After the end chunk nothing is read, so trailing bytes are harmless.
    bytes iend = {0, 0, 0, 0, 'I', 'E', 'N', 'D'};
    file = signature + ihdr + iend + idat_header;
    EXPECT_EQ(decode_hazard(file.data(), int32_t(file.size()), FMT_PNG), nullptr);
}

TEST(JpegData, AFileMustHoldAtLeastOneBitPer64BlocksOfItsPicture) {
    // 32768 pixels per byte of file is 1/64 bit per 8x8 block.
    bytes rest = segment(0xFE, bytes(200, 0)) + kEoi;
    int width = int((kSoi + frame_header(1, 1024) + rest).size()) * 32;
    EXPECT_EQ(jpeg_hazard(kSoi + frame_header(width, 1024) + rest), nullptr);
    EXPECT_STREQ(jpeg_hazard(kSoi + frame_header(width + 1, 1024) + rest), "too little data");
}

TEST(JpegData, EveryScanCountsAgainstTheFileSize) {
    // Each scan walks all the blocks again, however few bytes it holds.
    bytes scans;
    for (int i = 0; i < 10; ++i) scans = scans + segment(0xDA, {1, 1, 0, 0, 0, 0x10});
    bytes rest = segment(0xFE, bytes(200, 0)) + kEoi;
    int64_t size = int64_t((kSoi + frame_header(1, 1024) + scans + rest).size());
    int width = int(size * 32 / 10);
    EXPECT_EQ(jpeg_hazard(kSoi + frame_header(width, 1024) + scans + rest), nullptr);
    EXPECT_STREQ(jpeg_hazard(kSoi + frame_header(width + 1, 1024) + scans + rest),
                 "too little data");
}

// A PNG declaring width x height RGBA pixels at depth bits per channel, with
// its image data split into IDAT chunks of the sizes given (not inflatable:
// the checks look only at their sizes).
bytes png_file(int width, int height, int depth, const std::vector<int> &idat_sizes) {
    auto be32 = [](int64_t v) { return be16(int(v >> 16)) + be16(int(v & 0xFFFF)); };
    auto chunk = [&](const char *type, const bytes &data) {
        return be32(int64_t(data.size())) + bytes(type, type + 4) + data + bytes(4, 0);
    };
    bytes file = bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'} +
                 chunk("IHDR", be32(width) + be32(height) + bytes{uint8_t(depth), 6, 0, 0, 0});
    for (int size : idat_sizes) file = file + chunk("IDAT", bytes(size_t(size), 0));
    return file + chunk("IEND", {});
}

const char *png_hazard(const bytes &file) {
    return decode_hazard(file.data(), int32_t(file.size()), FMT_PNG);
}

TEST(PngImageData, DataThatCannotInflateToTheDeclaredRowsIsRefused) {
    // 4,000,000 bytes of rows: zlib reaches 1000:1 on blank rows, 1333:1 never.
    EXPECT_EQ(png_hazard(png_file(1000, 1000, 8, {4000})), nullptr);
    EXPECT_STREQ(png_hazard(png_file(1000, 1000, 8, {3000})), "not enough pixels");
    // Every IDAT chunk counts, and 16-bit channels need twice the data.
    EXPECT_EQ(png_hazard(png_file(1000, 1000, 8, {1000, 1000, 2000})), nullptr);
    EXPECT_STREQ(png_hazard(png_file(1000, 1000, 16, {4000})), "not enough pixels");
    // Sides the decoder refuses by themselves are left to it.
    EXPECT_EQ(png_hazard(png_file(-1, -1, 8, {10})), nullptr);
}

TEST(BmpRows, AFileTooShortForItsRowsIsRefused) {
    EXPECT_STREQ(bmp_hazard(bmp_file(10000, 10000, 24, {})), "truncated pixel data");
    bytes two_rows(2 * 8, 0x40);  // 2 x 2 at 24 bits: 6 bytes of pixels + 2 of padding per row
    EXPECT_EQ(bmp_hazard(bmp_file(2, 2, 24, two_rows)), nullptr);
    two_rows.resize(two_rows.size() - 2);  // the last row's padding may be missing
    EXPECT_EQ(bmp_hazard(bmp_file(2, 2, 24, two_rows)), nullptr);
    two_rows.pop_back();
    EXPECT_STREQ(bmp_hazard(bmp_file(2, 2, 24, two_rows)), "truncated pixel data");
}

TEST(BmpRows, CompressedFilesAreLeftToTheDecoder) {
    bytes file = bmp_file(100, 100, 8, {}, kTwoGreys);
    file[30] = 1;  // run-length encoded: the decoder refuses these itself
    EXPECT_EQ(bmp_hazard(file), nullptr);
}

TEST(BmpPalette, PixelsMayOnlyUseEntriesTheFileCarries) {
    EXPECT_EQ(bmp_hazard(bmp_file(4, 1, 8, {0, 1, 1, 0}, kTwoGreys)), nullptr);
    EXPECT_STREQ(bmp_hazard(bmp_file(4, 1, 8, {0, 1, 2, 0}, kTwoGreys)),
                 "palette index out of range");
    // The decoder reads a negative compression code as uncompressed.
    bytes odd_code = bmp_file(4, 1, 8, {0, 1, 90, 0}, kTwoGreys);
    odd_code[33] = 0xFF;
    EXPECT_STREQ(bmp_hazard(odd_code), "palette index out of range");
    // 4 bits: a 3-pixel row uses the high nibble of its second byte only.
    EXPECT_EQ(bmp_hazard(bmp_file(3, 1, 4, {0x01, 0x1F, 0, 0}, kTwoGreys)), nullptr);
    EXPECT_STREQ(bmp_hazard(bmp_file(3, 1, 4, {0x01, 0x2F, 0, 0}, kTwoGreys)),
                 "palette index out of range");
    // 1 bit: every index fits a two-entry palette; a one-entry palette holds only 0.
    bytes one_grey(kTwoGreys.begin(), kTwoGreys.begin() + 4);
    EXPECT_EQ(bmp_hazard(bmp_file(9, 1, 1, {0x00, 0x7F, 0, 0}, one_grey)), nullptr);
    EXPECT_STREQ(bmp_hazard(bmp_file(9, 1, 1, {0x00, 0x80, 0, 0}, one_grey)),
                 "palette index out of range");
}

TEST(LoadRefusals, GuardReasonsUseTheDecodeMessageAndTouchNothing) {
    scratch_dir dir;
    std::string path = dir / "huge.bmp";
    EXPECT_EQ(load_message(dir, bmp_file(23170, 23170, 24, {}), "huge.bmp"),
              "cannot decode " + path + " (image too large)");
    path = dir / "short.bmp";
    EXPECT_EQ(load_message(dir, bmp_file(300, 300, 24, bytes(100, 0)), "short.bmp"),
              "cannot decode " + path + " (truncated pixel data)");
    path = dir / "table.jpg";
    EXPECT_EQ(load_message(dir, {0xFF, 0xD8, 0xFF, 0xC4, 0xFF, 0xFF, 0x13, 0xFF, 0xFF},
                           "table.jpg"),
              "cannot decode " + path + " (bad huffman table)");
    path = dir / "blank.png";
    EXPECT_EQ(load_message(dir, png_file(4000, 4000, 8, {100}), "blank.png"),
              "cannot decode " + path + " (not enough pixels)");
    // The valid neighbours still load.
    EXPECT_EQ(load_message(dir, bmp_file(2, 2, 24, bytes(14, 0x40)), "ok.bmp"), "loaded");
    EXPECT_EQ(load_message(dir, bmp_file(4, 1, 8, {0, 1, 1, 0}, kTwoGreys), "ok8.bmp"), "loaded");
}

// A baseline grey JPEG with one-code tables, in which every zero bit pair of
// scan data is a whole 8x8 block.
bytes zero_block_jpeg(int width, int height, size_t scan_bytes) {
    bytes one_code = bytes{1} + bytes(15, 0) + bytes{0};
    return kSoi + segment(0xDB, bytes{0} + bytes(64, 1)) + frame_header(width, height) +
           segment(0xC4, bytes{0x00} + one_code) + segment(0xC4, bytes{0x10} + one_code) +
           segment(0xDA, {1, 1, 0, 0, 63, 0}) + bytes(scan_bytes, 0) + kEoi;
}

TEST(LoadRefusals, AJpegFarTooSmallForItsPictureIsRefusedWhileACutOneStillLoads) {
    scratch_dir dir;
    bytes hostile = zero_block_jpeg(4096, 4096, 6);
    ASSERT_EQ(hostile.size(), 146u);
    std::string path = dir / "hostile.jpg";
    EXPECT_EQ(load_message(dir, hostile, "hostile.jpg"),
              "cannot decode " + path + " (too little data)");
    // 256 blocks, of which the scan holds 8: the decoder fills in the rest.
    EXPECT_EQ(load_message(dir, zero_block_jpeg(128, 128, 2), "cut.jpg"), "loaded");
}

TEST(ZeroedDecoderMemory, AJpegWithoutTablesDecodesTheSameWhateverTheHeapHeld) {
    // Baseline 8x8 grey JPEG with its Huffman tables left out: the decoder
    // reads them from its own freshly allocated, never written, memory.
    bytes file = kSoi + segment(0xDB, bytes{0} + bytes(64, 1)) + frame_header(8, 8) +
                 segment(0xDA, {1, 1, 0, 0, 63, 0}) + bytes{0x3F} + kEoi;
    scratch_dir dir;
    std::string path = dir / "no-tables.jpg";
    write_bytes(path, file);
    std::vector<bytes> results;
    for (uint8_t stale : {0x00, 0xA5, 0xFF}) {
        // Leave freed blocks full of one pattern for the decoder to pick up.
        std::vector<void *> blocks;
        for (size_t size = 1024; size <= 96 * 1024; size += 1024) {
            blocks.push_back(malloc(size));
            memset(blocks.back(), stale, size);
        }
        for (void *block : blocks) free(block);
        rgba_image image;
        image_format format;
        ASSERT_EQ(load_rgba(path.c_str(), &image, &format), 1) << pixtrim_last_error();
        results.emplace_back(image.pixels, image.pixels + size_t(image.width) * image.height * 4);
        free(image.pixels);
    }
    EXPECT_EQ(results[0], results[1]);
    EXPECT_EQ(results[0], results[2]);
}
