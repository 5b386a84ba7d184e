// Orientation, colour profiles and colour chunks: what an output keeps of
// its input so it looks the same. Inputs are stb's files with metadata
// spliced in by the builders below; outputs are checked by taking them
// apart again, and against the output of the same input without metadata.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "codec/file_parts.h"
#include "codec/png/deflate.h"

using namespace test_support;

namespace {

// ---- builders ----

bytes icc_segment(int sequence, int count, const bytes &piece) {
    return segment(0xE2,
                   text("ICC_PROFILE\0", 12) + bytes{uint8_t(sequence), uint8_t(count)} + piece);
}

// The profile in segments of at most piece bytes, in the given order of
// sequence numbers (1-based; empty for 1, 2, ...).
bytes icc_segments(const bytes &profile, size_t piece, std::vector<int> order = {}) {
    int count = static_cast<int>((profile.size() + piece - 1) / piece);
    if (order.empty())
        for (int i = 1; i <= count; ++i) order.push_back(i);
    bytes all;
    for (int i : order) {
        size_t at = (i - 1) * piece, n = std::min(piece, profile.size() - at);
        all = all + icc_segment(i, count, bytes(profile.begin() + at, profile.begin() + at + n));
    }
    return all;
}

bytes zlib(const bytes &data) {
    int n = 0;
    unsigned char *z =
        zlib_compress(const_cast<uint8_t *>(data.data()), static_cast<int>(data.size()), &n, 8);
    bytes out(z, z + n);
    free(z);
    return out;
}

bytes inflate(const bytes &z) {
    int n = 0;
    char *raw = stbi_zlib_decode_malloc(reinterpret_cast<const char *>(z.data()),
                                        static_cast<int>(z.size()), &n);
    bytes out(raw, raw + (raw ? n : 0));
    free(raw);
    return out;
}

bytes iccp_chunk(const bytes &profile, const char *name = "icc") {
    return chunk("iCCP", text(name, strlen(name) + 1) + bytes{0} + zlib(profile));
}

// A profile-shaped block: its size and colour space in the header, the
// rest a pattern that stands out.
bytes fake_profile(size_t size, const char *space = "RGB ") {
    bytes p(size);
    for (size_t i = 0; i < size; ++i) p[i] = static_cast<uint8_t>(i * 31 + 7);
    if (size >= 4)
        p[0] = uint8_t(size >> 24), p[1] = uint8_t(size >> 16), p[2] = uint8_t(size >> 8),
        p[3] = uint8_t(size);
    if (size >= 20) memcpy(&p[16], space, 4);
    return p;
}

// ---- taking outputs apart ----

// The file without its APP2 segments.
bytes without_app2(const bytes &f) {
    bytes out(f.begin(), f.begin() + 2);
    jpeg_parts parts = split_jpeg(f);
    for (auto &[marker, payload] : parts.segments)
        if (marker != 0xE2) out = out + segment(uint8_t(marker), payload);
    return out + bytes(f.begin() + parts.scan_at, f.end());
}

bytes profile_in_jpeg(const bytes &f) {
    std::vector<bytes> pieces(256);
    for (auto &[marker, payload] : split_jpeg(f).segments)
        if (marker == 0xE2 && payload.size() >= 14 && !memcmp(payload.data(), "ICC_PROFILE", 12))
            pieces[payload[12]] = bytes(payload.begin() + 14, payload.end());
    bytes whole;
    for (auto &p : pieces) whole = whole + p;
    return whole;
}

bytes without_chunks_after_ihdr(const bytes &f) {
    bytes out(f.begin(), f.begin() + kIhdrEnd);
    for (auto &c : chunks_of(f))
        if (c.type == "IHDR" || c.type == "IDAT" || c.type == "IEND") {
            if (c.type != "IHDR") out = out + c.whole;
        }
    return out;
}

bytes profile_in_png(const bytes &f) {
    for (auto &c : chunks_of(f)) {
        if (c.type != "iCCP") continue;
        const uint8_t *data = c.whole.data() + 8;
        size_t name = strlen(reinterpret_cast<const char *>(data));
        return inflate(bytes(data + name + 2, data + c.whole.size() - 12));
    }
    return {};
}

// The upright picture, computed the long way: each output pixel from the
// stored pixel the orientation names.
picture upright(const picture &stored, int orientation) {
    int w = stored.width, h = stored.height;
    bool swap = orientation >= 5;
    picture out;
    out.width = swap ? h : w;
    out.height = swap ? w : h;
    out.rgba.resize(stored.rgba.size());
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x) {
            int sx = x, sy = y;
            switch (orientation) {
            case 2: sx = w - 1 - x; break;
            case 3: sx = w - 1 - x, sy = h - 1 - y; break;
            case 4: sy = h - 1 - y; break;
            case 5: sx = y, sy = x; break;
            case 6: sx = y, sy = h - 1 - x; break;
            case 7: sx = w - 1 - y, sy = h - 1 - x; break;
            case 8: sx = w - 1 - y, sy = x; break;
            }
            memcpy(out.at(x, y), stored.at(sx, sy), 4);
        }
    return out;
}

}  // namespace

// ---- orientation ----

TEST(Orientation, EveryValueTurnsJpegAndPngInputsUpright) {
    picture stored = photo_like(37, 20);  // not square, odd: every mistake shows
    bytes jpeg = jpeg_of(stored), png = png_of(stored);
    picture stored_jpeg = decoded_bytes(jpeg);
    run r;
    for (int orientation = 1; orientation <= 8; ++orientation) {
        SCOPED_TRACE(orientation);
        bool big = orientation % 2 == 0;  // both byte orders
        bytes from_jpeg = r.lossless(jpeg_with(jpeg, exif_segment(tiff(orientation, big))), ".png");
        expect_same_picture(decoded_bytes(from_jpeg), upright(stored_jpeg, orientation));
        bytes from_png = r.lossless(png_with(png, chunk("eXIf", tiff(orientation, big))), ".png");
        expect_same_picture(decoded_bytes(from_png), upright(stored, orientation));
        EXPECT_FALSE(contains(from_png, "eXIf"));
        bytes to_jpeg = r.lossless(jpeg_with(jpeg, exif_segment(tiff(orientation, big))), ".jpg");
        EXPECT_FALSE(contains(to_jpeg, "Exif"));
        picture shown = decoded_bytes(to_jpeg);
        EXPECT_EQ(shown.width, orientation >= 5 ? 20 : 37);
    }
}

TEST(Orientation, TheQualityScaleAndTheLadderWorkOnTheUprightPicture) {
    bytes png = png_with(png_of(photo_like(40, 20)), chunk("eXIf", tiff(6)));
    run r;
    picture quarter = decoded_bytes(r.quality(png, ".png", 25));
    EXPECT_EQ(quarter.width, 10);
    EXPECT_EQ(quarter.height, 20);
    bytes sized = r.through(png, ".bmp", [](const char *in, const char *out) {
        return pixtrim_target_size(in, out, 1 << 20);
    });
    picture whole = decoded_bytes(sized);
    EXPECT_EQ(whole.width, 20);
    EXPECT_EQ(whole.height, 40);
}

TEST(Orientation, MalformedOrUnplacedTagsReadAsUpright) {
    picture stored = photo_like(9, 4);
    bytes jpeg = jpeg_of(stored), png = png_of(stored);
    run r;
    bytes plain_jpeg = r.lossless(jpeg, ".png"), plain_png = r.lossless(png, ".png");
    bytes bad_order = tiff(6);
    bad_order[0] = 'M', bad_order[1] = 'I';
    bytes not_42 = tiff(6);
    not_42[3] = 43;
    bytes cut = tiff(6);
    cut.resize(cut.size() - 8);  // the entry runs past the segment
    bytes xmp = segment(0xE1, text("http://ns.adobe.com/xap/1.0/\0", 29) + tiff(6));
    const std::vector<bytes> jpeg_cases = {
        exif_segment(tiff(0)), exif_segment(tiff(9)), exif_segment(tiff(6, true, 4)),
        exif_segment(tiff(6, true, 3, 2)), exif_segment(tiff(6, true, 3, 1, 10)),
        exif_segment(tiff(6, true, 3, 1, 0xFFFFFFF0u)), exif_segment(bad_order),
        exif_segment(not_42), exif_segment(cut), exif_segment({}), xmp,
        // Only the first Exif segment counts.
        exif_segment(tiff(1)) + exif_segment(tiff(6))};
    for (size_t i = 0; i < jpeg_cases.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(r.lossless(jpeg_with(jpeg, jpeg_cases[i]), ".png") == plain_jpeg);
    }
    // An IFD whose offset points at itself is read once, as it stands.
    bytes self = tiff(6, true, 3, 1, 0);
    EXPECT_TRUE(r.lossless(jpeg_with(jpeg, exif_segment(self)), ".png") == plain_jpeg);

    bytes bad_crc = chunk("eXIf", tiff(6));
    bad_crc.back() ^= 1;
    EXPECT_TRUE(r.lossless(png_with(png, bad_crc), ".png") == plain_png);
    EXPECT_TRUE(r.lossless(png_with(png, chunk("eXIf", tiff(6)), true), ".png") == plain_png);
    EXPECT_TRUE(r.lossless(png_with(png, chunk("eXIf", tiff(1)) + chunk("eXIf", tiff(6))),
                           ".png") == plain_png);
}

// ---- profiles ----

TEST(Profile, JpegInputCarriesItsProfileToJpegAndPngAfterTheFirstSegments) {
    picture p = photo_like(24, 16);
    bytes jpeg = jpeg_of(p);
    run r;
    bytes plain_jpg = r.quality(jpeg, ".jpg", 80), plain_png = r.lossless(jpeg, ".png");
    for (size_t size : {size_t{560}, size_t{65519}, size_t{150000}}) {
        SCOPED_TRACE(size);
        bytes profile = fake_profile(size);
        // Out of order in the file, in pieces other than ours.
        std::vector<int> order;
        size_t piece = 40000, count = (size + piece - 1) / piece;
        for (size_t i = count; i >= 1; --i) order.push_back(static_cast<int>(i));
        bytes input = jpeg_with(jpeg, icc_segments(profile, piece, order));

        bytes out_jpg = r.quality(input, ".jpg", 80);
        EXPECT_TRUE(profile_in_jpeg(out_jpg) == profile);
        EXPECT_TRUE(without_app2(out_jpg) == plain_jpg);
        jpeg_parts parts = split_jpeg(out_jpg);
        ASSERT_GE(parts.segments.size(), 2u);
        EXPECT_EQ(parts.segments[0].first, 0xE0);  // JFIF first, then the profile
        size_t expected_segments = (size + 65518) / 65519;
        for (size_t i = 0; i < expected_segments; ++i) {
            EXPECT_EQ(parts.segments[1 + i].first, 0xE2);
            size_t full = i + 1 < expected_segments ? 65519 : size - 65519 * i;
            EXPECT_EQ(parts.segments[1 + i].second.size(), 14 + full);
        }
        EXPECT_EQ(parts.segments[1 + expected_segments].first, 0xDB);

        bytes out_png = r.lossless(input, ".png");
        EXPECT_EQ(chunk_types(out_png), "IHDR iCCP IDAT IEND ");
        EXPECT_TRUE(profile_in_png(out_png) == profile);
        EXPECT_EQ(std::string(out_png.begin() + kIhdrEnd + 8, out_png.begin() + kIhdrEnd + 20),
                  std::string("ICC Profile\0", 12));
        EXPECT_TRUE(without_chunks_after_ihdr(out_png) == plain_png);
    }
}

TEST(Profile, PngInputCarriesItsOwnChunkToPngAndItsProfileToJpeg) {
    picture p = photo_like(24, 16);
    bytes png = png_of(p);
    bytes profile = fake_profile(70000);
    bytes iccp = iccp_chunk(profile, "Display P3");
    bytes input = png_with(png, iccp);
    run r;
    bytes out_png = r.lossless(input, ".png");
    ASSERT_EQ(chunk_types(out_png), "IHDR iCCP IDAT IEND ");
    EXPECT_TRUE(chunks_of(out_png)[1].whole == iccp);  // copied unchanged
    EXPECT_TRUE(without_chunks_after_ihdr(out_png) == r.lossless(png, ".png"));

    bytes out_jpg = r.quality(input, ".jpg", 70);
    EXPECT_TRUE(profile_in_jpeg(out_jpg) == profile);
    EXPECT_TRUE(without_app2(out_jpg) == r.quality(png, ".jpg", 70));
    EXPECT_TRUE(r.lossless(input, ".bmp") == r.lossless(png, ".bmp"));  // BMP carries nothing
}

TEST(Profile, AProfileGoesOnlyWhereTheLayoutCanUseIt) {
    picture grey = make_picture(8, 8, [](int x, int y) {
        uint8_t v = static_cast<uint8_t>(x * 20 + y);
        return std::vector<uint8_t>{v, v, v, 255};
    });
    picture colour = photo_like(8, 8);
    bytes rgb = fake_profile(300), gray = fake_profile(300, "GRAY");
    run r;
    // A grey picture in a grey PNG keeps a grey profile and drops an RGB one.
    bytes grey_png;
    bytes grey_values;
    for (size_t i = 0; i < grey.rgba.size(); i += 4) grey_values.push_back(grey.rgba[i]);
    stbi_write_png_to_func(append_to, &grey_png, 8, 8, 1, grey_values.data(), 8);
    EXPECT_TRUE(profile_in_png(r.lossless(png_with(grey_png, iccp_chunk(gray)), ".png")) == gray);
    EXPECT_EQ(chunk_types(r.lossless(png_with(grey_png, iccp_chunk(rgb)), ".png")),
              "IHDR IDAT IEND ");
    EXPECT_TRUE(profile_in_png(r.lossless(jpeg_with(jpeg_of(colour), icc_segments(rgb, 1000)),
                                          ".png")) == rgb);
    // A colour picture drops a grey profile; JPEG output never carries one.
    EXPECT_EQ(chunk_types(r.lossless(png_with(png_of(colour), iccp_chunk(gray)), ".png")),
              "IHDR IDAT IEND ");
    bytes jpg = r.quality(png_with(grey_png, iccp_chunk(gray)), ".jpg", 80);
    EXPECT_TRUE(profile_in_jpeg(jpg).empty());
}

TEST(Profile, UnusableProfilesAreDroppedAndChangeNothing) {
    picture p = photo_like(12, 10);
    bytes jpeg = jpeg_of(p), png = png_of(p);
    run r;
    bytes plain_from_jpeg = r.quality(jpeg, ".jpg", 75), plain_from_png = r.lossless(png, ".png");
    bytes profile = fake_profile(3000);
    bytes wrong_size = profile;
    wrong_size[3] ^= 1;
    bytes cmyk = fake_profile(3000, "CMYK");
    auto piece = [&](size_t from, size_t to) {
        return bytes(profile.begin() + from, profile.begin() + to);
    };
    const std::vector<bytes> jpeg_cases = {
        icc_segments(wrong_size, 1000),
        icc_segments(cmyk, 1000),
        icc_segment(1, 2, piece(0, 1500)),                                         // one missing
        icc_segment(1, 2, piece(0, 1500)) + icc_segment(1, 2, piece(1500, 3000)),  // repeated
        icc_segment(1, 2, piece(0, 1500)) + icc_segment(2, 2, piece(1500, 3000)) +
            icc_segment(2, 2, piece(1500, 3000)),
        icc_segment(1, 2, piece(0, 1500)) + icc_segment(2, 3, piece(1500, 3000)),  // counts differ
        icc_segment(0, 1, profile),
        icc_segment(2, 1, profile),
        icc_segment(1, 0, profile),
        icc_segments(profile, 1000) + segment(0xE2, text("ICC_PROFILE\0\1", 13)),  // short segment
        icc_segment(1, 1, {}),
        icc_segment(1, 1, {0x00}),
        icc_segment(1, 1, fake_profile(100))};
    for (size_t i = 0; i < jpeg_cases.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(r.quality(jpeg_with(jpeg, jpeg_cases[i]), ".jpg", 75) == plain_from_jpeg);
    }
    // A bomb: a few kilobytes that inflate to 16 MiB.
    bytes bomb = chunk("iCCP", text("x\0\0", 3) + zlib(bytes(size_t{16} << 20, 0)));
    bytes stored_past_cap = fake_profile(5 << 20);
    bytes bad_crc = iccp_chunk(profile);
    bad_crc.back() ^= 1;
    const std::vector<bytes> png_cases = {
        iccp_chunk(wrong_size),
        iccp_chunk(cmyk),
        iccp_chunk(profile, ""),
        bad_crc,
        iccp_chunk(stored_past_cap),
        bomb,
        chunk("iCCP", text("name\0\1", 6) + zlib(profile)),      // method 1
        chunk("iCCP", text("name\0\0", 6) + bytes{1, 2, 3, 4}),  // not zlib
        chunk("iCCP", text(std::string(80, 'n').c_str(), 80) + bytes{0, 0} + zlib(profile)),
        chunk("iCCP", text("name\0\0", 6) + zlib({})),
        chunk("iCCP", text("name\0\0", 6) + zlib({7}))};
    for (size_t i = 0; i < png_cases.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(r.lossless(png_with(png, png_cases[i]), ".png") == plain_from_png);
    }
}

TEST(Profile, TargetSizeCountsTheCarriedBytes) {
    bytes profile = fake_profile(20000);
    bytes input = jpeg_with(jpeg_of(photo_like(64, 64)), icc_segments(profile, 65519));
    run r;
    bytes out = r.through(input, ".jpg", [](const char *in, const char *out) {
        return pixtrim_target_size(in, out, 24000);
    });
    EXPECT_LE(out.size(), 24000u);
    EXPECT_TRUE(profile_in_jpeg(out) == profile);
    EXPECT_EQ(std::string(pixtrim_stats()), stats_record(long(input.size()), long(out.size())));
}

// ---- colour chunks ----

TEST(ColourChunks, PngToPngCopiesThemAfterIhdrInTheInputsOrder) {
    bytes png = png_of(photo_like(10, 6));
    bytes srgb = chunk("sRGB", {0}), gama = chunk("gAMA", {0, 0, 0xB1, 0x8F});
    bytes chrm = chunk("cHRM", bytes(32, 7)), cicp = chunk("cICP", {1, 13, 0, 1});
    bytes iccp = iccp_chunk(fake_profile(400));
    bytes dropped = chunk("tEXt", text("Author\0me", 9)) + chunk("pHYs", bytes(9, 1)) +
                    chunk("tIME", bytes(7, 1));
    bytes input = png_with(png, cicp + dropped + gama + iccp + chrm + srgb);
    run r;
    bytes out = r.lossless(input, ".png"), plain = r.lossless(png, ".png");
    EXPECT_EQ(chunk_types(out), "IHDR cICP gAMA iCCP cHRM sRGB IDAT IEND ");
    bytes carried(out.begin() + kIhdrEnd, out.end() - (plain.size() - kIhdrEnd));
    EXPECT_TRUE(carried == cicp + gama + iccp + chrm + srgb);
    EXPECT_TRUE(without_chunks_after_ihdr(out) == plain);
    // JPEG output has no place for them.
    EXPECT_TRUE(r.quality(input, ".jpg", 80) == r.quality(png_with(png, iccp), ".jpg", 80));
}

TEST(ColourChunks, OnlyWholeFirstChunksBeforeTheImageDataAreCopied) {
    bytes png = png_of(photo_like(10, 6));
    bytes gama = chunk("gAMA", {0, 0, 0xB1, 0x8F});
    bytes bad_crc = chunk("sRGB", {0});
    bad_crc.back() ^= 0x80;
    bytes input = png_with(png, gama + chunk("gAMA", {0, 1, 0, 0}) + bad_crc + chunk("sRGB", {1}) +
                                    chunk("cHRM", bytes(31, 1)) + chunk("cICP", bytes(5, 1)));
    input = png_with(input, chunk("cICP", {1, 13, 0, 1}), true);  // after IDAT
    run r;
    bytes out = r.lossless(input, ".png");
    EXPECT_EQ(chunk_types(out), "IHDR gAMA IDAT IEND ");
    EXPECT_TRUE(chunks_of(out)[1].whole == gama);
}

// ---- messages ----

TEST(Messages, ADecoderFailureWithoutAReasonSaysCorruptImage) {
    scratch_dir dir;
    bytes png = png_of(photo_like(30, 30));
    png.resize(png.size() - 12);  // no IEND
    write_bytes(dir / "cut.png", png);
    EXPECT_EQ(pixtrim_lossless((dir / "cut.png").c_str(), (dir / "o.png").c_str()), 0);
    EXPECT_EQ(std::string(pixtrim_last_error()),
              "cannot decode " + dir / "cut.png" + " (corrupt image)");
}
