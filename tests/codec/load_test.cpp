// Loading input files and naming output formats.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include <gtest/gtest.h>

#include "codec/bmp_file.h"
#include "codec/file_parts.h"
#include "codec/load.h"
#include "codec/png/deflate.h"
#include "pixtrim.h"
#include "state.h"
#include "support.h"

using namespace test_support;

namespace {

// load_rgba on a failing path: returns the message and checks that neither
// out-parameter was touched.
std::string refusal_of(const std::string &path) {
    uint8_t sentinel = 0;
    rgba_image image = {7, 9, &sentinel};
    image_format format = FMT_BMP;
    EXPECT_EQ(load_rgba(path.c_str(), &image, &format), 0);
    EXPECT_TRUE(image.width == 7 && image.height == 9 && image.pixels == &sentinel &&
                format == FMT_BMP);
    return pixtrim_last_error();
}

}  // namespace

TEST(LoadRgba, RecognisesTheFormatByFirstBytesWhateverTheNameAndClearsTheError) {
    scratch_dir dir;
    picture p = photo_like(5, 3);
    struct named_input {
        const char *name;
        void (*save)(const fs::path &, const picture &);
        image_format expected;
    };
    for (const named_input &c : {named_input{"png_named.jpg", save_png, FMT_PNG},
                                 named_input{"jpeg_named.bmp", save_jpg, FMT_JPEG},
                                 named_input{"bmp_named.png", save_bmp, FMT_BMP}}) {
        SCOPED_TRACE(c.name);
        c.save(dir / c.name, p);
        set_err("left by an earlier call");
        rgba_image image;
        image_format format;
        ASSERT_EQ(load_rgba((dir / c.name).c_str(), &image, &format), 1);
        EXPECT_EQ(format, c.expected);
        EXPECT_STREQ(pixtrim_last_error(), "");
        ASSERT_TRUE(image.width == 5 && image.height == 3);
        if (c.expected != FMT_JPEG) {
            EXPECT_EQ(std::vector<uint8_t>(image.pixels, image.pixels + p.rgba.size()), p.rgba);
        }
        free(image.pixels);
    }
}

TEST(LoadRgba, RefusesMissingEmptyAndUnknownFilesWithTheirMessages) {
    scratch_dir dir;
    const uint8_t png_signature[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A};
    struct refusal {
        const char *name;
        std::vector<uint8_t> bytes;
        const char *message;
    };
    const refusal cases[] = {
        {"empty.png", {}, "cannot read "},
        {"one_byte.jpg", {0xFF}, "unsupported image format: "},
        {"anim.gif",
         {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, ';'},
         "unsupported image format: "},
        {"seven_bytes.png", {png_signature, png_signature + 7}, "unsupported image format: "},
        {"text.png", {'h', 'e', 'l', 'l', 'o'}, "unsupported image format: "},
    };
    for (const refusal &c : cases) {
        SCOPED_TRACE(c.name);
        write_bytes(dir / c.name, c.bytes);
        EXPECT_EQ(refusal_of(dir / c.name), c.message + (dir / c.name));
    }
    EXPECT_EQ(refusal_of(dir / "missing.png"), "cannot read " + (dir / "missing.png"));
}

// Leaves a stretch of the stack the decoder will use full of a pattern.
__attribute__((noinline)) void dirty_the_stack() {
    volatile uint8_t junk[1 << 16];
    for (size_t i = 0; i < sizeof junk; ++i) junk[i] = 0xA5;
}

// A 4-bit palette PNG defines two colours and its pixels index 0, 1, 5 and
// 15: the last two lie past the palette, an error in the file. They must
// decode to transparent black every time, not to what the stack held.
TEST(LoadRgba, PixelsPastAShortPaletteDecodeAsTransparentBlack) {
    scratch_dir dir;
    bytes header;
    put32(header, 4), put32(header, 1);
    header = header + bytes{4, 3, 0, 0, 0};  // 4 bits, palette, no interlace
    bytes rows = {0, 0x01, 0x5F};            // filter none, indices 0 1 5 15
    int stream_size = 0;
    uint8_t *stream = zlib_compress(rows.data(), static_cast<int>(rows.size()), &stream_size, 8);
    ASSERT_NE(stream, nullptr);
    bytes png = bytes{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A} + chunk("IHDR", header) +
                chunk("PLTE", {10, 20, 30, 40, 50, 60}) +
                chunk("IDAT", bytes(stream, stream + stream_size)) + chunk("IEND", {});
    free(stream);
    write_bytes(dir / "short.png", png);

    dirty_the_stack();
    rgba_image image = {0, 0, nullptr};
    image_format format = FMT_BMP;
    ASSERT_EQ(load_rgba((dir / "short.png").c_str(), &image, &format), 1) << pixtrim_last_error();
    std::vector<uint8_t> pixels(image.pixels, image.pixels + 16);
    free(image.pixels);
    EXPECT_EQ(pixels, (std::vector<uint8_t>{10, 20, 30, 255, 40, 50, 60, 255,  //
                                            0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(LoadRgba, CarriesTheDecodersReasonForARecognisedButBrokenFile) {
    scratch_dir dir;
    const std::vector<uint8_t> cases[] = {{0xFF, 0xD8},
                                          {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}};
    for (const std::vector<uint8_t> &bytes : cases) {
        int w, h, n;
        ASSERT_EQ(
            stbi_load_from_memory(bytes.data(), static_cast<int>(bytes.size()), &w, &h, &n, 4),
            nullptr);
        std::string reason = stbi_failure_reason();
        write_bytes(dir / "broken", bytes);
        EXPECT_EQ(refusal_of(dir / "broken"),
                  "cannot decode " + (dir / "broken") + " (" + reason + ")");
    }
}

TEST(LoadRgba, RefusesABmpWithASideOfZeroThatTheDecoderAccepts) {
    scratch_dir dir;
    for (auto [width, height] : {std::pair{0, 1}, std::pair{1, 0}}) {
        bmp_shape empty;
        empty.width = width, empty.height = height;
        std::vector<uint8_t> bytes = bmp_file(empty, {});
        int w = -1, h = -1, n;
        uint8_t *pixels = stbi_load_from_memory(bytes.data(), 54, &w, &h, &n, 4);
        ASSERT_NE(pixels, nullptr) << "the decoder now refuses it itself";
        EXPECT_EQ(w * h, 0);
        stbi_image_free(pixels);
        write_bytes(dir / "empty.bmp", bytes);
        EXPECT_EQ(refusal_of(dir / "empty.bmp"),
                  "cannot decode " + (dir / "empty.bmp") + " (empty image)");
    }
}

TEST(LoadRgba, RefusesDirectoriesAndFifosWithoutBlocking) {
    scratch_dir dir;
    std::string fifo = dir / "pipe.png";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string &path : {dir.path.string(), fifo}) {
        std::future<std::string> refused = std::async(std::launch::async, refusal_of, path);
        if (refused.wait_for(std::chrono::seconds(10)) == std::future_status::timeout) {
            ADD_FAILURE() << "load_rgba blocked on " << path;
            close(open(fifo.c_str(), O_WRONLY));  // a writer releases the blocked reader
        }
        EXPECT_EQ(refused.get(), "cannot read " + path);
    }
}

TEST(FileSize, SizesBeyond32BitsMeasureAsMinusOneAndDoNotLoad) {
    scratch_dir dir;
    std::string path = dir / "sparse.png";
    save_png(path, photo_like(4, 4));
    const off_t small = static_cast<off_t>(fs::file_size(path));
    // The valid PNG at the front is what a wrapped size would have loaded.
    const std::pair<off_t, int32_t> cases[] = {
        {INT32_MAX, INT32_MAX}, {off_t{INT32_MAX} + 1, -1}, {(off_t{1} << 32) + small, -1}};
    for (auto [length, measured] : cases) {
        ASSERT_EQ(truncate(path.c_str(), length), 0);
        EXPECT_EQ(file_size(path.c_str()), measured) << length;
        if (measured < 0) {
            EXPECT_EQ(refusal_of(path), "cannot read " + path);
        }
    }
}

TEST(FormatFromPath, NamesTheFormatFromTheLastDotElseTheFallback) {
    const std::pair<const char *, image_format> cases[] = {
        {"photo.JPEG", FMT_JPEG}, {"a.jpg", FMT_JPEG}, {"a.Png", FMT_PNG},
        {"a.bMP", FMT_BMP},       {".png", FMT_PNG},   {"out.old/photo", FMT_NONE},
        {"photo.", FMT_NONE},     {"photo", FMT_NONE}, {"photo.jpg.bak", FMT_NONE},
        {"photo.tiff", FMT_NONE},
    };
    for (auto [path, expected] : cases) {
        EXPECT_EQ(format_from_path(path, FMT_NONE), expected) << path;
        EXPECT_EQ(format_from_path(path, FMT_PNG), expected == FMT_NONE ? FMT_PNG : expected)
            << path;
    }
}

TEST(AsciiIeq, ComparesWholeStringsWithBit0x20Folded) {
    // Only bit 0x20 is folded, so '@' and '`' match as well.
    const std::tuple<const char *, const char *, bool> cases[] = {
        {"PNG", "png", true}, {"JpEg", "jPeG", true}, {"", "", true},      {".", ".", true},
        {".", "..", false},   {"png", "pn", false},   {"jpg", "jpgx", false}, {"png", "bmp", false},
        {"@", "`", true},
    };
    for (auto [a, b, equal] : cases) {
        EXPECT_EQ(ascii_ieq(a, b), equal) << a << " vs " << b;
        EXPECT_EQ(ascii_ieq(b, a), equal) << b << " vs " << a;
    }
}
