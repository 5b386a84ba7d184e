// The JPEG/PNG/BMP writer and the PNG size optimiser, checked by decoding
// what lands on disk.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "codec/image_view.h"
#include "codec/write.h"
#include "pixtrim.h"
#include "support.h"

using namespace test_support;

namespace {

picture grey_ramp(int width, int height) {
    return make_picture(width, height, [](int x, int y) {
        uint8_t v = static_cast<uint8_t>(x * 40 + y * 7);
        return std::vector<uint8_t>{v, v, v, 255};
    });
}

}  // namespace

TEST(FlattenWhite, CompositesEachPixelOntoWhiteWithIntegerDivision) {
    const std::vector<uint8_t> pixels[] = {
        {200, 100, 50, 128}, {10, 20, 30, 255}, {9, 9, 9, 0}, {0, 0, 0, 1}};
    picture p = make_picture(4, 1, [&](int x, int) { return pixels[x]; });
    rgba_image image = view_of(p);
    std::unique_ptr<uint8_t, decltype(&free)> rgb(flatten_white(&image), free);
    ASSERT_TRUE(rgb);
    EXPECT_EQ(std::vector<uint8_t>(rgb.get(), rgb.get() + 12),
              (std::vector<uint8_t>{227, 177, 152, 10, 20, 30, 255, 255, 255, 254, 254, 254}));
}

// Every colour byte under every alpha (x = colour, y = alpha); a flattening
// that rounds differs on half of them.
TEST(FlattenWhite, CompositesEveryColourAndAlphaOntoWhiteWithIntegerDivision) {
    picture p = make_picture(256, 256, [](int x, int y) {
        return std::vector<uint8_t>{uint8_t(x), uint8_t(255 - x), uint8_t(x ^ 0x5A), uint8_t(y)};
    });
    rgba_image image = view_of(p);
    std::unique_ptr<uint8_t, decltype(&free)> rgb(flatten_white(&image), free);
    ASSERT_TRUE(rgb);
    EXPECT_EQ(rgb.get()[(200 * 256 + 1) * 3], 55);  // 1 * 200 / 255 + 55, where rounding gives 56
    EXPECT_TRUE(std::vector<uint8_t>(rgb.get(), rgb.get() + 256 * 256 * 3) == flattened_rgb(p));
}

TEST(MemWrite, StartsAt4096ThenDoublesAndKeepsEveryByte) {
    struct step {
        int count;
        uint64_t size, capacity;
    };
    const step steps[] = {
        {0, 0, 0}, {10, 10, 4096}, {4086, 4096, 4096}, {1, 4097, 8192}, {10000, 14097, 16384}};
    mem_sink sink = {nullptr, 0, 0};
    std::vector<uint8_t> expected;
    for (const step &s : steps) {
        std::vector<uint8_t> bytes(static_cast<size_t>(s.count),
                                   static_cast<uint8_t>(expected.size() % 251));
        mem_write(&sink, bytes.data(), s.count);
        expected.insert(expected.end(), bytes.begin(), bytes.end());
        EXPECT_EQ(sink.size, s.size);
        EXPECT_EQ(sink.capacity, s.capacity);
    }
    EXPECT_EQ(std::vector<uint8_t>(sink.data, sink.data + sink.size), expected);
    free(sink.data);

    mem_sink fresh = {nullptr, 0, 0};
    std::vector<uint8_t> large(20000);
    mem_write(&fresh, large.data(), 20000);
    EXPECT_EQ(fresh.capacity, 32768u);
    free(fresh.data);
}

TEST(PngSmallest, ChoosesTheSmallestExactLayoutAndIsReproducible) {
    scratch_dir dir;
    struct layout_case {
        const char *name;
        picture image;
        int colour_type;
    };
    layout_case cases[] = {
        {"opaque grey", grey_ramp(6, 4), 0},
        {"grey, one alpha 254", grey_ramp(6, 4), 4},
        {"opaque colour", photo_like(6, 4), 2},
        {"colour, one transparent", photo_like(6, 4), 6},
    };
    cases[1].image.at(5, 3)[3] = 254;
    cases[3].image.at(0, 0)[3] = 0;
    for (layout_case &c : cases) {
        SCOPED_TRACE(c.name);
        rgba_image image = view_of(c.image);
        int32_t size = png_smallest((dir / "a.png").c_str(), &image);
        ASSERT_EQ(png_smallest((dir / "b.png").c_str(), &image), size);
        EXPECT_EQ(size, static_cast<int32_t>(fs::file_size(dir / "a.png")));
        EXPECT_EQ(read_bytes(dir / "a.png"), read_bytes(dir / "b.png"));
        png_layout layout = png_layout_of(dir / "a.png");
        EXPECT_EQ(layout.colour_type, c.colour_type);
        EXPECT_EQ(layout.bit_depth, 8);
        EXPECT_EQ(decode_file(dir / "a.png").image.rgba, c.image.rgba);
    }
}

TEST(PngSmallest, SkipsALayoutTooLargeForTheEncoderWithoutTouchingIt) {
    scratch_dir dir;
    const int side = 16384;  // (16384 * 4 + 1) * 16384 filtered bytes: past kMaxPngFilteredBytes
    std::unique_ptr<uint8_t, decltype(&free)> block(
        static_cast<uint8_t *>(calloc(static_cast<size_t>(side) * side, 4)), free);
    ASSERT_TRUE(block);
    block.get()[0] = 1;  // coloured and transparent: RGBA is the only candidate
    rgba_image huge = {side, side, block.get()};
    EXPECT_EQ(png_smallest((dir / "huge.png").c_str(), &huge), -1);
    EXPECT_EQ(pixtrim_last_error(), "png encode failed: " + (dir / "huge.png"));
    EXPECT_FALSE(fs::exists(dir / "huge.png"));
}

TEST(WriteSized, FlattensTransparencyForJpegAndBmpAndKeepsItInPng) {
    scratch_dir dir;
    // Transparent left half, one full 8x8 JPEG block wide, so no edge rings into it.
    picture p = make_picture(16, 8, [](int x, int y) {
        if (x < 8) return std::vector<uint8_t>{0, 0, 0, 0};
        return std::vector<uint8_t>{static_cast<uint8_t>(x * 9), static_cast<uint8_t>(y * 20), 90,
                                    255};
    });
    rgba_image image = view_of(p);
    picture flattened = make_picture(16, 8, [&](int x, int y) {
        const uint8_t *px = p.at(x, y);
        return px[3] ? std::vector<uint8_t>{px[0], px[1], px[2], 255}
                     : std::vector<uint8_t>{255, 255, 255, 255};
    });
    ASSERT_GT(write_sized((dir / "out.bmp").c_str(), &image, FMT_BMP, 90), 0);
    EXPECT_EQ(decode_file(dir / "out.bmp").image.rgba, flattened.rgba);
    ASSERT_GT(write_sized((dir / "out.png").c_str(), &image, FMT_PNG, 1), 0);
    EXPECT_EQ(decode_file(dir / "out.png").image.rgba, p.rgba);

    int32_t jpeg_size = write_sized((dir / "out.jpg").c_str(), &image, FMT_JPEG, 100);
    EXPECT_EQ(jpeg_size, static_cast<int32_t>(fs::file_size(dir / "out.jpg")));
    decoded jpeg = decode_file(dir / "out.jpg");
    ASSERT_TRUE(jpeg.ok && jpeg.image.width == 16 && jpeg.image.height == 8);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            for (int c = 0; c < 3; ++c) EXPECT_GE(jpeg.image.at(x, y)[c], 250) << x << "," << y;
}

TEST(WriteSized, ReportsEveryFailureWithItsMessage) {
    scratch_dir dir;
    picture p = photo_like(8, 8);
    rgba_image image = view_of(p);
    uint8_t dummy[16] = {};  // the side limits are checked before any pixel is read
    struct failure {
        std::string path;
        rgba_image image;
        int format;
        const char *message;  // %s stands for the path
    };
    std::vector<failure> cases = {
        {dir / "missing/out.png", image, FMT_PNG, "cannot write %s"},
        {dir / "out.tga", image, 7, "cannot encode format 7"},
        {dir / "wide.jpg", {65536, 1, dummy}, FMT_JPEG, "jpeg encode failed: %s"},
        {dir / "tall.jpg", {1, 65536, dummy}, FMT_JPEG, "jpeg encode failed: %s"},
        {dir / "huge.bmp", {65536, 16384, dummy}, FMT_BMP, "bmp encode failed: %s"},
    };
    if (fs::exists("/dev/full")) {
        cases.push_back({"/dev/full", image, FMT_JPEG, "jpeg encode failed: %s"});
        cases.push_back({"/dev/full", image, FMT_BMP, "bmp encode failed: %s"});
        cases.push_back({"/dev/full", image, FMT_PNG, "short write %s"});
    }
    for (const failure &c : cases) {
        std::string message = c.message;
        if (size_t at = message.find("%s"); at != std::string::npos) message.replace(at, 2, c.path);
        SCOPED_TRACE(message);
        auto format = static_cast<image_format>(c.format);
        EXPECT_EQ(write_sized(c.path.c_str(), &c.image, format, 90), -1);
        EXPECT_EQ(pixtrim_last_error(), message);
        if (c.path != "/dev/full") {
            EXPECT_FALSE(fs::exists(c.path));
        }
    }
}

TEST(WriteSized, WritesAJpegOfTheLargestSideTheHeaderHolds) {
    scratch_dir dir;
    picture p = make_picture(65535, 1, [](int x, int) {
        return std::vector<uint8_t>{static_cast<uint8_t>(x), 80, 160, 255};
    });
    rgba_image image = view_of(p);
    ASSERT_GT(write_sized((dir / "wide.jpg").c_str(), &image, FMT_JPEG, 50), 0);
    decoded d = decode_file(dir / "wide.jpg");
    EXPECT_TRUE(d.ok && d.image.width == 65535 && d.image.height == 1);
}

// A direct JPEG encode needs a row of blocks; the search's transform needs
// the whole picture's coefficients, and without the memory for them fails
// with "out of memory" instead of stopping. A child process with a capped
// address space shows both (sanitizers reserve more address space than any
// cap allows, so their builds skip this).
TEST(JpegMemory, DirectEncodeFitsWhereTheKeptTransformFailsCleanly) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "address space caps do not work under the address sanitizer";
#else
    scratch_dir dir;
    picture p = photo_like(3000, 2000);  // 24 MB of coefficients at quality 50
    rgba_image image = view_of(p);
    std::string path = dir / "out.jpg";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rlim_t limit = address_space_in_use() + (8 << 20);
        rlimit cap = {limit, limit};
        if (setrlimit(RLIMIT_AS, &cap) != 0) _exit(3);
        if (encode_jpg(path.c_str(), &image, 50) != 1) _exit(4);
        jpeg_coefficients held = {0, 0, false, 0, nullptr};
        if (encode_jpg_reusing(path.c_str(), &image, 50, &held) != 0) _exit(5);
        _exit(held.blocks == nullptr && strcmp(pixtrim_last_error(), "out of memory") == 0 ? 0 : 6);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the encoder stopped the process";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "4: the direct encode failed, 5: the search's "
                                         "encode succeeded, 6: wrong message or blocks kept";
#endif
}
