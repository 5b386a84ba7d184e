// Never larger than what came in: a PNG or JPEG input's own encoding, with
// only what an output keeps, competes with ours whenever the picture written
// is the one it holds. The candidates expected here are built by the test
// from the input's chunks and segments; inputs that beat us are PNGs
// compressed by zlib at level 9, which our (stb's) compressor cannot match.
#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>
#include <string>
#include <vector>

#include "codec/file_parts.h"

using namespace test_support;

namespace {

bytes zlib9(const bytes &raw) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    bytes out(size);
    EXPECT_EQ(compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 9), Z_OK);
    out.resize(size);
    return out;
}

bytes ihdr(uint32_t width, uint32_t height, uint8_t depth, uint8_t colour_type,
           uint8_t interlace = 0) {
    bytes data;
    put32(data, width);
    put32(data, height);
    data.insert(data.end(), {depth, colour_type, 0, 0, interlace});
    return chunk("IHDR", data);
}

// Signature, IHDR, the chunks given, the image data in one IDAT, IEND.
bytes png_file(const bytes &header, const bytes &scanlines, const bytes &before_data = {},
               const bytes &after_data = {}) {
    return text("\x89PNG\r\n\x1a\n", 8) + header + before_data + chunk("IDAT", zlib9(scanlines)) +
           after_data + chunk("IEND", {});
}

// Rows of pixels (or bytes of packed pixels), each after a filter byte of 0.
bytes scanlines(int width, int height, const std::function<bytes(int, int)> &pixel) {
    bytes out;
    for (int y = 0; y < height; ++y) {
        out.push_back(0);
        for (int x = 0; x < width; ++x) out = out + pixel(x, y);
    }
    return out;
}

// An RGB picture's Adam7 passes, each as scanlines.
bytes adam7(int width, int height, const std::function<bytes(int, int)> &pixel) {
    static const int kPasses[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                      {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    bytes out;
    for (const int *p : kPasses)
        for (int y = p[1]; y < height; y += p[3]) {
            if (p[0] >= width) break;
            out.push_back(0);
            for (int x = p[0]; x < width; x += p[2]) out = out + pixel(x, y);
        }
    return out;
}

// Noise of four levels: zlib's own Huffman codes take it in about two bits
// a byte, where the fixed codes of our compressor need eight.
uint8_t speckle(int x, int y) {
    uint32_t h = uint32_t(x) * 73856093u ^ uint32_t(y) * 19349663u;
    h = (h ^ (h >> 13)) * 0x5bd1e995u;
    return static_cast<uint8_t>((h >> 24) & 3) * 85;
}

bool crc_right(const png_chunk_view &c) {
    bytes check = chunk(c.type.c_str(), bytes(c.whole.begin() + 8, c.whole.end() - 4));
    return check == c.whole;
}

// The input rewritten as the library's candidate must be: only the image
// chunks and the colour chunks given.
bytes expected_candidate(const bytes &png, const std::vector<std::string> &colour) {
    bytes out(png.begin(), png.begin() + 8);
    for (const png_chunk_view &c : chunks_of(png)) {
        bool image = c.type == "IHDR" || c.type == "PLTE" || c.type == "tRNS" || c.type == "IDAT" ||
                     c.type == "IEND";
        if (image || std::find(colour.begin(), colour.end(), c.type) != colour.end())
            out = out + c.whole;
    }
    return out;
}

// Our own encoding of the picture a file holds: the lossless PNG of it
// given as stb's PNG, which never beats ours.
bytes ours_for(run &r, const bytes &file) {
    return r.lossless(png_of(decoded_bytes(file)), ".png");
}

struct png_case {
    const char *name;
    bytes file;
    std::vector<std::string> colour_kept;
};

}  // namespace

TEST(OwnEncoding, LosslessPngPicksTheSmallerOfTheInputsCopyAndOurs) {
    auto rgb = [](int x, int y) { return bytes{speckle(x, y), speckle(y, x), uint8_t(x * 4)}; };
    bytes exif;
    put32(exif, 0x4D4D002A);  // a TIFF header whose IFD0 holds no orientation
    put32(exif, 8);
    put16(exif, 0);
    bytes bad_gama = chunk("gAMA", {0, 0, 0xB1, 0x8F}), bad_text = chunk("tEXt", text("a\0b", 3));
    bad_gama.back() ^= 1, bad_text.back() ^= 1;
    bytes frame_control(26, 0);  // an APNG frame: contents unread here
    std::vector<png_case> cases = {
        {"palette, 1 bit",
         png_file(ihdr(64, 48, 1, 3),
                  scanlines(8, 48, [](int x, int y) { return bytes{uint8_t(x * 37 + y * 11)}; }),
                  chunk("PLTE", {255, 0, 0, 0, 0, 255}) + chunk("tRNS", {255, 128})),
         {}},
        {"16 bits",
         png_file(ihdr(40, 30, 16, 2), scanlines(40, 30,
                                                 [&](int x, int y) {
                                                     bytes p;
                                                     for (uint8_t v : rgb(x, y))
                                                         p.insert(p.end(), {v, v});
                                                     return p;
                                                 })),
         {}},
        {"interlaced", png_file(ihdr(37, 29, 8, 2, 1), adam7(37, 29, rgb)), {}},
        {"text and eXIf",
         png_file(ihdr(50, 20, 8, 0),
                  scanlines(50, 20, [](int x, int y) { return bytes{speckle(x, y)}; }),
                  chunk("tEXt", text("Comment\0hello", 13)) + chunk("eXIf", exif) +
                      chunk("sRGB", {0}) + chunk("tIME", bytes(7, 1))),
         {"sRGB"}},
        {"APNG",
         png_file(
             ihdr(30, 30, 8, 2), scanlines(30, 30, rgb),
             chunk("acTL", bytes(8, 0)) + chunk("fcTL", frame_control),
             chunk("fcTL", frame_control) + chunk("fdAT", bytes(4, 0) + zlib9(bytes(91 * 30, 0)))),
         {}},
        {"bad ancillary CRCs",
         png_file(ihdr(30, 30, 8, 2), scanlines(30, 30, rgb),
                  bad_gama + bad_text + chunk("cHRM", bytes(32, 9))),
         {"cHRM"}},
    };
    run r;
    int kept = 0;
    for (const png_case &c : cases) {
        SCOPED_TRACE(c.name);
        bytes candidate = expected_candidate(c.file, c.colour_kept);
        bytes colour_chunks;
        for (const png_chunk_view &chunk : chunks_of(candidate))
            if (chunk.type != "IHDR" && chunk.type != "PLTE" && chunk.type != "tRNS" &&
                chunk.type != "IDAT" && chunk.type != "IEND")
                colour_chunks = colour_chunks + chunk.whole;
        bytes ours = png_with(ours_for(r, c.file), colour_chunks);
        bytes out = r.lossless(c.file, ".png");
        bool input_wins = candidate.size() < ours.size();
        kept += input_wins;
        EXPECT_TRUE(out == (input_wins ? candidate : ours)) << (input_wins ? "input" : "ours");
        expect_same_picture(decoded_bytes(out), decoded_bytes(c.file));
        for (const png_chunk_view &chunk : chunks_of(out)) {
            EXPECT_TRUE(crc_right(chunk)) << chunk.type;
            for (const char *dropped : {"tEXt", "eXIf", "tIME", "acTL", "fcTL", "fdAT", "gAMA"})
                EXPECT_NE(chunk.type, dropped);
        }
        EXPECT_LE(out.size(), c.file.size());
    }
    EXPECT_GE(kept, 4);                               // most of these inputs beat us
    EXPECT_LT(kept, static_cast<int>(cases.size()));  // and ours is kept where it wins
}

TEST(OwnEncoding, ACopyThatWouldDecodeOtherwiseIsNeverWritten) {
    // Apple's CgBI files hold raw deflate data, which the decoder reads as
    // such only with the CgBI chunk: the copy, without it, would not decode.
    bytes raw = scanlines(30, 30, [](int x, int y) { return bytes{speckle(x, y), 0, 0, 255}; });
    bytes deflated(compressBound(static_cast<uLong>(raw.size())));
    z_stream z = {};
    ASSERT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY), Z_OK);
    z.next_in = raw.data(), z.avail_in = static_cast<uInt>(raw.size());
    z.next_out = deflated.data(), z.avail_out = static_cast<uInt>(deflated.size());
    ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    deflated.resize(z.total_out);
    deflateEnd(&z);
    bytes cgbi = text("\x89PNG\r\n\x1a\n", 8) + ihdr(30, 30, 8, 6) + chunk("CgBI", bytes(4, 0)) +
                 chunk("IDAT", deflated) + chunk("IEND", {});
    run r;
    picture shown = decoded_bytes(cgbi);
    ASSERT_EQ(shown.width, 30);
    bytes out = r.lossless(cgbi, ".png");
    EXPECT_GT(out.size(), cgbi.size());  // ours, however much larger
    expect_same_picture(decoded_bytes(out), shown);
}

TEST(OwnEncoding, APngWeCanBeatGivesTodaysBytes) {
    picture p = photo_like(48, 40);
    bytes png = png_of(p);  // stb's RGBA file of an opaque picture: ours is RGB
    run r;
    bytes from_png = r.lossless(png, ".png");
    scratch_dir dir;
    save_bmp(dir / "p.bmp", p);
    EXPECT_TRUE(from_png == r.lossless(read_bytes(dir / "p.bmp"), ".png"));  // no candidate there
    EXPECT_LT(from_png.size(), png.size());
}

TEST(OwnEncoding, QualityPngKeepsTheCopyOnlyWhenTheSidesStay) {
    bytes palette =
        png_file(ihdr(64, 48, 1, 3),
                 scanlines(8, 48, [](int x, int y) { return bytes{uint8_t(x * 37 + y)}; }),
                 chunk("PLTE", {255, 0, 0, 0, 0, 255}));
    run r;
    EXPECT_TRUE(r.quality(palette, ".png", 99) == palette);  // 64 x 48 rounds back to itself
    picture shrunk = decoded_bytes(r.quality(palette, ".png", 50));
    EXPECT_EQ(shrunk.width, 45);
    bytes sized = r.through(palette, ".png", [](const char *in, const char *out) {
        return pixtrim_target_size(in, out, 100000);
    });
    EXPECT_TRUE(sized == palette);  // the ladder's full-size step
}

// ---- JPEG ----

namespace {

// A JPEG rewritten as the library's candidate must be: SOI, JFIF APP0,
// APP2 profile, APP14 and non-APP segments, then the scan through its EOI.
bytes expected_jpeg_candidate(const bytes &jpeg) {
    bytes out = {0xFF, 0xD8};
    jpeg_parts parts = split_jpeg(jpeg);
    for (auto &[marker, payload] : parts.segments) {
        bool app = (marker >= 0xE0 && marker <= 0xEF) || marker == 0xFE;
        bool keep = !app || marker == 0xEE ||
                    (marker == 0xE0 && !memcmp(payload.data(), "JFIF", 5)) ||
                    (marker == 0xE2 && !memcmp(payload.data(), "ICC_PROFILE", 12));
        if (keep) out = out + segment(uint8_t(marker), payload);
    }
    const uint8_t eoi[2] = {0xFF, 0xD9};
    auto end = std::search(jpeg.begin() + parts.scan_at, jpeg.end(), eoi, eoi + 2) + 2;
    return out + bytes(jpeg.begin() + parts.scan_at, end);
}

bytes jpeg_at(const picture &p, int quality) {
    bytes out;
    std::vector<uint8_t> rgb;
    for (size_t i = 0; i < p.rgba.size(); i += 4) rgb.insert(rgb.end(), &p.rgba[i], &p.rgba[i] + 3);
    stbi_write_jpg_to_func(append_to, &out, p.width, p.height, 3, rgb.data(), quality);
    return out;
}

// A camera's file: Exif, a thumbnail APP0, IPTC, a comment, and a second
// picture after the end.
bytes camera_file(const bytes &jpeg, int orientation) {
    bytes extras = exif_segment(tiff(orientation)) +
                   segment(0xE0, text("JFXX\0\x10", 6) + bytes(40, 3)) +
                   segment(0xED, text("Photoshop 3.0\0", 14)) + segment(0xFE, text("made by", 7)) +
                   segment(0xEE, text("Adobe\0\x64\0\0\0\0\1", 12));
    // After SOI and stb's JFIF segment, so JFIF stays first.
    bytes file =
        bytes(jpeg.begin(), jpeg.begin() + 20) + extras + bytes(jpeg.begin() + 20, jpeg.end());
    return file + jpeg;  // the appended second picture
}

}  // namespace

TEST(OwnEncoding, AJpegSavedAtLowerQualityComesBackAsItselfLessWhatIsDropped) {
    picture p = photo_like(96, 64);
    bytes input = camera_file(jpeg_at(p, 60), 1);
    run r;
    bytes out = r.quality(input, ".jpg", 80);
    bytes candidate = expected_jpeg_candidate(input);
    EXPECT_TRUE(out == candidate);
    EXPECT_LT(out.size(), input.size());
    expect_same_picture(decoded_bytes(out), decoded_bytes(input));
    EXPECT_FALSE(contains(out, "Exif") || contains(out, "JFXX") || contains(out, "made by"));
    EXPECT_TRUE(r.lossless(input, ".jpg") == candidate);  // quality 100 too
    EXPECT_EQ(std::string(pixtrim_stats()), stats_record(long(input.size()), long(out.size())));
}

TEST(OwnEncoding, AJpegWeCanBeatGivesTodaysBytes) {
    picture p = photo_like(96, 64);
    bytes input = jpeg_at(p, 95);
    run r;
    bytes today = r.quality(png_of(decoded_bytes(input)), ".jpg", 50);  // the same picture
    EXPECT_TRUE(r.quality(input, ".jpg", 50) == today);
}

TEST(OwnEncoding, AnOrientedJpegStillGoesUpright) {
    picture p = photo_like(96, 64);
    bytes input = camera_file(jpeg_at(p, 60), 6);
    run r;
    picture shown = decoded_bytes(r.quality(input, ".jpg", 80));
    EXPECT_EQ(shown.width, 64);
    EXPECT_EQ(shown.height, 96);
}

TEST(OwnEncoding, TargetSizeKeepsTheInputWhenItFitsAndBeatsTheSearch) {
    picture p = photo_like(96, 64);
    bytes input = camera_file(jpeg_at(p, 60), 1);
    bytes candidate = expected_jpeg_candidate(input);
    bytes same_picture = png_of(decoded_bytes(input));
    run r;
    auto sized = [&](const bytes &file, int budget) {
        return r.through(file, ".jpg", [budget](const char *in, const char *out) {
            return pixtrim_target_size(in, out, budget);
        });
    };
    // A budget whose search result is larger than the copy of the input.
    int budget = static_cast<int>(candidate.size());
    for (int step = 0; sized(same_picture, budget).size() <= candidate.size(); ++step) {
        ASSERT_LT(step, 100) << "no budget makes the search beat the copy";
        budget += 100;
    }
    EXPECT_TRUE(sized(input, budget) == candidate);
    // Under the copy's size, the search's own result.
    int under = static_cast<int>(candidate.size()) - 1;
    EXPECT_TRUE(sized(input, under) == sized(same_picture, under));
}

TEST(OwnEncoding, InPlaceAFileIsNeverReplacedByALargerOne) {
    scratch_dir dir;
    bytes png = png_file(ihdr(40, 40, 8, 0),
                         scanlines(40, 40, [](int x, int y) { return bytes{speckle(x, y)}; }),
                         chunk("tEXt", text("Comment\0x", 9)));
    bytes jpeg = camera_file(jpeg_at(photo_like(80, 60), 60), 1);
    for (auto [name, file] : {std::pair<const char *, bytes>{"in.png", png}, {"in.jpg", jpeg}}) {
        SCOPED_TRACE(name);
        std::string path = dir / name;
        write_bytes(path, file);
        ASSERT_EQ(pixtrim_lossless(path.c_str(), path.c_str()), 1) << pixtrim_last_error();
        EXPECT_LT(fs::file_size(path), file.size());  // the dropped chunks and segments
        bytes once = read_bytes(path);
        ASSERT_EQ(pixtrim_lossless(path.c_str(), path.c_str()), 1) << pixtrim_last_error();
        EXPECT_TRUE(read_bytes(path) == once);  // the copy of a copy is itself
    }
}
