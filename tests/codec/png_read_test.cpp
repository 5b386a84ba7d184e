// Our PNG reader and inflater against stb's decoder: every file the reader
// takes decodes to the decoder's pixels exactly, every stream the inflater
// takes to the bytes stb's inflater gives, and everything else is left to
// stb.
#include "codec/png/png_read.h"

#include <gtest/gtest.h>
#include <stb_image_write.h>
#include <zlib.h>

#include <filesystem>
#include <random>
#include <string>

#include "codec/file_parts.h"
#include "codec/plain_reader.h"
#include "codec/png/deflate.h"
#include "codec/png/inflate.h"
#include "support.h"

using namespace test_support;
namespace fs = std::filesystem;

namespace {

// ---- streams ----

bytes zlib_stream(const bytes &data, int level, int strategy) {
    z_stream z = {};
    deflateInit2(&z, level, Z_DEFLATED, 15, 9, strategy);
    bytes out(deflateBound(&z, uLong(data.size())));
    z.next_in = const_cast<Bytef *>(data.data());
    z.avail_in = uInt(data.size());
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Our inflater's bytes for the stream into exactly room bytes, if it takes it.
bool ours_inflate(const bytes &stream, size_t room, bytes *out) {
    bytes padded = stream;
    padded.resize(stream.size() + kInflateReadSlack, 0xA5);  // any values will do
    out->assign(room + kInflateWriteSlack, 0);
    bool taken = inflate_exact(padded.data(), stream.size(), out->data(), room);
    out->resize(room);
    return taken;
}

// stb's inflater never takes more than room bytes; true when it ends there.
bool stb_inflate(const bytes &stream, size_t room, bytes *out) {
    out->assign(room + 1, 0);
    size_t produced = 0;
    bool complete = inflate_zlib(stream.data(), stream.size(), out->data(), room, &produced);
    out->resize(produced);
    return complete && produced == room;
}

void expect_same_as_stb_if_taken(const bytes &stream, size_t room, const std::string &what) {
    bytes ours, theirs;
    if (!ours_inflate(stream, room, &ours)) return;
    ASSERT_TRUE(stb_inflate(stream, room, &theirs)) << what;
    ASSERT_TRUE(ours == theirs) << what;
}

void expect_inflated(const bytes &stream, const bytes &data, const std::string &what) {
    bytes ours, theirs;
    ASSERT_TRUE(ours_inflate(stream, data.size(), &ours)) << what;
    EXPECT_TRUE(ours == data) << what;
    ASSERT_TRUE(stb_inflate(stream, data.size(), &theirs)) << what;
}

// Data that exercises every kind of match: noise, runs, short periods,
// repeats at the window's far end, and a text-like mixture.
std::vector<std::pair<std::string, bytes>> sample_data(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    bytes noise(n), run(n, 7), period3(n), period4(n), far(n), words(n);
    for (size_t i = 0; i < n; ++i) {
        noise[i] = uint8_t(rng());
        period3[i] = uint8_t("abc"[i % 3]);
        period4[i] = uint8_t(i % 4 * 60 + (i / 997) % 2);
        far[i] = i < 300 || i >= 32768 ? noise[i % 300] : 0;
        words[i] = uint8_t(rng() % 5 ? "the pixel row "[i % 14] : rng());
    }
    return {{"noise", noise},      {"run", run},         {"period 3", period3},
            {"period 4", period4}, {"far repeats", far}, {"words", words}};
}

// A hand-made stream: fixed codes, given as bits least significant first.
struct bit_writer {
    bytes out = {0x78, 0x01};
    uint32_t bits = 0, count = 0;
    void put(uint32_t value, uint32_t n) {
        bits |= value << count;
        for (count += n; count >= 8; count -= 8, bits >>= 8) out.push_back(uint8_t(bits));
    }
    // Huffman codes go most significant bit first.
    void code(uint32_t value, uint32_t n) {
        for (uint32_t i = n; i-- > 0;) put(value >> i & 1, 1);
    }
    bytes finish(size_t trailing) {
        if (count) out.push_back(uint8_t(bits));
        out.insert(out.end(), trailing, 0);
        return out;
    }
};

// A final block of fixed codes: the literal 'a', one match given by its
// length code (of length_bits) and its distance code, and the block's end;
// then four bytes for the Adler-32.
bytes one_match_after_a(uint32_t length_code, uint32_t length_bits, uint32_t distance_code) {
    bit_writer w;
    w.put(1, 1), w.put(1, 2);
    w.code(0x30 + 'a', 8);
    w.code(length_code, length_bits), w.code(distance_code, 5);
    w.code(0, 7);
    return w.finish(4);
}

// ---- files ----

plain_result reader_result(const bytes &file) {
    return test_support::reader_result(png_decode_plain, file);
}

void expect_plain_and_same(const bytes &file, const std::string &what) {
    test_support::expect_plain_and_same(png_decode_plain, file, what);
}

bytes random_pixels(int width, int height, uint32_t seed) {
    std::mt19937 rng(seed);
    bytes rgba(size_t(width) * height * 4);
    // Smooth enough for matches, noisy enough for literals.
    for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = uint8_t(i / 4 % 7 * 9 + rng() % 4);
    return rgba;
}

bytes stb_png(const bytes &rgba, int width, int height, int channels, int filter) {
    bytes layout;
    for (size_t i = 0; i < size_t(width) * height; ++i)
        layout.insert(layout.end(), rgba.begin() + i * 4, rgba.begin() + i * 4 + channels);
    stbi_write_force_png_filter = filter;
    bytes out;
    stbi_write_png_to_func(append_to, &out, width, height, channels, layout.data(),
                           width * channels);
    stbi_write_force_png_filter = -1;
    return out;
}

bytes ihdr(uint32_t width, uint32_t height, uint8_t depth, uint8_t colour, uint8_t interlace = 0) {
    bytes h;
    put32(h, width);
    put32(h, height);
    h.insert(h.end(), {depth, colour, 0, 0, interlace});
    return chunk("IHDR", h);
}

const bytes kSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// An RGB(A) file of the rows (each its filter byte, then its bytes) whose
// zlib stream is split into IDAT chunks of at most piece bytes, with the
// given chunks after the header.
bytes png_of_rows(uint32_t width, uint32_t height, uint8_t colour, const bytes &rows, size_t piece,
                  const bytes &extra_chunks = {}) {
    bytes stream = zlib_stream(rows, 9, Z_DEFAULT_STRATEGY);
    bytes f = kSignature + ihdr(width, height, 8, colour) + extra_chunks;
    for (size_t at = 0; at < stream.size(); at += piece)
        f = f + chunk("IDAT", bytes(stream.begin() + at,
                                    stream.begin() + std::min(stream.size(), at + piece)));
    return f + chunk("IEND", {});
}

bytes filtered_rows(uint32_t width, uint32_t height, int channels, uint32_t seed) {
    std::mt19937 rng(seed);
    bytes rows;
    for (uint32_t y = 0; y < height; ++y) {
        rows.push_back(uint8_t(rng() % 5));
        for (uint32_t i = 0; i < width * channels; ++i) rows.push_back(uint8_t(rng() % 9 * 30));
    }
    return rows;
}

}  // namespace

TEST(Inflate, DecodesEveryBlockKindOfEveryCompressorAsStbDoes) {
    const int kStrategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    uint32_t seed = 1;
    for (size_t n : {size_t(0), size_t(1), size_t(2), size_t(3), size_t(17), size_t(258),
                     size_t(300), size_t(40000), size_t(100000)})
        for (const auto &sample : sample_data(n, seed++)) {
            std::string what = sample.first + ", " + std::to_string(n) + " bytes";
            for (int level : {0, 1, 6, 9})
                expect_inflated(zlib_stream(sample.second, level, Z_DEFAULT_STRATEGY),
                                sample.second, what + ", zlib level " + std::to_string(level));
            for (int strategy : kStrategies)
                expect_inflated(zlib_stream(sample.second, 9, strategy), sample.second,
                                what + ", strategy " + std::to_string(strategy));
            if (n == 0) continue;  // stb writes no block at all for nothing
            int length = 0;
            unsigned char *ours =
                zlib_compress(const_cast<uint8_t *>(sample.second.data()), int(n), &length, 8);
            expect_inflated(bytes(ours, ours + length), sample.second, what + ", our compressor");
            free(ours);
        }
}

TEST(Inflate, TakesOnlyStreamsThatEndWithTwoBytesToSpareAndFillTheRoom) {
    bytes data = sample_data(5000, 7)[5].second;
    bytes stream = zlib_stream(data, 9, Z_DEFAULT_STRATEGY), out;
    // The Adler-32 goes unchecked, as stb leaves it; two of its bytes must be there.
    bytes wrong_adler = stream;
    wrong_adler.back() ^= 1;
    expect_inflated(wrong_adler, data, "wrong Adler-32");
    EXPECT_TRUE(ours_inflate(bytes(stream.begin(), stream.end() - 2), data.size(), &out));
    EXPECT_FALSE(ours_inflate(bytes(stream.begin(), stream.end() - 3), data.size(), &out));
    EXPECT_FALSE(ours_inflate(stream, data.size() - 1, &out)) << "room too small";
    EXPECT_FALSE(ours_inflate(stream, data.size() + 1, &out)) << "room left over";
    for (size_t cut = 0; cut < stream.size(); ++cut)
        expect_same_as_stb_if_taken(bytes(stream.begin(), stream.begin() + cut), data.size(),
                                    "cut at " + std::to_string(cut));
}

TEST(Inflate, RefusesHeadersBlocksAndCodesNoStreamMayHold) {
    bytes data = {1, 2, 3, 4, 5}, out;
    bytes stream = zlib_stream(data, 0, Z_DEFAULT_STRATEGY);  // one stored block
    auto changed = [&](size_t at, uint8_t value) {
        bytes s = stream;
        s[at] = value;
        return s;
    };
    EXPECT_FALSE(ours_inflate(changed(0, 0x79), data.size(), &out)) << "not deflate";
    EXPECT_FALSE(ours_inflate(changed(1, 0x02), data.size(), &out)) << "header check";
    EXPECT_FALSE(ours_inflate(changed(1, 0xBB), data.size(), &out)) << "preset dictionary";
    EXPECT_FALSE(ours_inflate(changed(5, stream[5] ^ 1), data.size(), &out)) << "stored NLEN";
    EXPECT_FALSE(ours_inflate(changed(2, 0x07), data.size(), &out)) << "block type 3";

    // Fixed codes: the literal 'a', then a match of 3 from 2 back (too far).
    bytes too_far = one_match_after_a(1, 7, 1);
    EXPECT_FALSE(ours_inflate(too_far, 4, &out));
    expect_same_as_stb_if_taken(too_far, 4, "distance past the start");
    // Length symbol 286 and distance symbol 30 stand for nothing.
    EXPECT_FALSE(ours_inflate(one_match_after_a(0xC6, 8, 0), 1, &out)) << "length 286";
    EXPECT_FALSE(ours_inflate(one_match_after_a(1, 7, 30), 4, &out)) << "distance 30";
    // A match from the byte just written is a run.
    expect_inflated(one_match_after_a(1, 7, 0), bytes(4, 'a'), "run");
}

TEST(Inflate, AgreesWithStbOnDamagedStreams) {
    std::mt19937 rng(11);
    for (const auto &sample : sample_data(3000, 5)) {
        for (int level : {1, 9}) {
            bytes stream = zlib_stream(sample.second, level, Z_DEFAULT_STRATEGY);
            for (int i = 0; i < 400; ++i) {
                bytes damaged = stream;
                for (int flips = 1 + int(rng() % 3); flips > 0; --flips)
                    damaged[2 + rng() % (damaged.size() - 2)] ^= uint8_t(1 << rng() % 8);
                expect_same_as_stb_if_taken(damaged, sample.second.size(),
                                            sample.first + " damaged");
            }
        }
    }
}

TEST(PlainPng, ReadsRgbAndRgbaInEveryFilterOnEveryPathAsTheDecoderDoes) {
    zlib_path original = zlib_current_path();
    for (zlib_path path : {ZLIB_SCALAR, ZLIB_SSE2, ZLIB_AVX2}) {
        if (!zlib_use_path(path)) continue;
        uint32_t seed = 1;
        for (int channels : {3, 4})
            for (int filter = -1; filter <= 4; ++filter)
                for (int width : {1, 2, 3, 5, 17, 33})
                    for (int height : {1, 2, 7}) {
                        bytes rgba = random_pixels(width, height, seed++);
                        expect_plain_and_same(
                            stb_png(rgba, width, height, channels, filter),
                            "path " + std::to_string(path) + ", " + std::to_string(channels) +
                                " channels, filter " + std::to_string(filter) + ", " +
                                std::to_string(width) + "x" + std::to_string(height));
                    }
    }
    zlib_use_path(original);
}

TEST(PlainPng, ReadsStreamsSplitOverChunksBesideOtherChunks) {
    bytes rows = filtered_rows(40, 30, 3, 3);
    for (size_t piece : {size_t(1), size_t(7), size_t(1000), size_t(100000)})
        expect_plain_and_same(png_of_rows(40, 30, 2, rows, piece),
                              "pieces of " + std::to_string(piece));
    bytes others = chunk("tEXt", text("a\0b", 3)) + chunk("PLTE", bytes(3 * 16, 9)) +
                   chunk("gAMA", {0, 0, 0xB1, 0x8F});
    expect_plain_and_same(png_of_rows(40, 30, 2, rows, 100, others), "other chunks");
    bytes between = png_of_rows(40, 30, 2, rows, 100);
    expect_plain_and_same(png_with(between, chunk("tIME", bytes(7, 1)), true), "after the data");
    // The file's last bytes after the stream may be too few to read past it.
    bytes short_end = png_of_rows(40, 30, 2, rows, 100000);
    short_end.resize(short_end.size() - 4);  // IEND without its CRC
    expect_plain_and_same(short_end, "IEND without its CRC");
}

TEST(PlainPng, LeavesEveryOtherPngAndEveryRefusedFileToTheDecoder) {
    bytes rows = filtered_rows(8, 4, 4, 5);
    bytes good = png_of_rows(8, 4, 6, rows, 1000);
    ASSERT_EQ(reader_result(good), PLAIN_DECODED);
    auto with_header = [&](const bytes &header) {
        return kSignature + header + bytes(good.begin() + kIhdrEnd, good.end());
    };
    auto without_tail = [&](size_t bytes_cut) {
        return bytes(good.begin(), good.end() - bytes_cut);
    };
    bytes bad_filter = rows;
    bad_filter[0] = 5;
    bytes longer = rows + bytes(1, 0), shorter(rows.begin(), rows.end() - 1);
    const std::pair<const char *, bytes> others[] = {
        {"grey", with_header(ihdr(8, 4, 8, 0))},
        {"grey and alpha", with_header(ihdr(8, 4, 8, 4))},
        {"palette", with_header(ihdr(8, 4, 8, 3))},
        {"16 bits", with_header(ihdr(8, 4, 16, 6))},
        {"interlaced", with_header(ihdr(8, 4, 8, 6, 1))},
        {"no width", with_header(ihdr(0, 4, 8, 6))},
        {"too wide", with_header(ihdr((1u << 24) + 1, 4, 8, 6))},
        {"transparency", png_with(good, chunk("tRNS", bytes(6, 0)))},
        {"second header", png_with(good, ihdr(8, 4, 8, 6))},
        {"unknown critical chunk", png_with(good, chunk("ABCD", {}))},
        {"Apple's chunk",
         kSignature + chunk("CgBI", bytes(4, 0)) + bytes(good.begin() + 8, good.end())},
        {"palette of 2 bytes", png_with(good, chunk("PLTE", {1, 2}))},
        {"no IEND", without_tail(12)},
        {"IEND cut", without_tail(9)},
        {"no IDAT", kSignature + ihdr(8, 4, 8, 6) + chunk("IEND", {})},
        {"filter 5", png_of_rows(8, 4, 6, bad_filter, 1000)},
        {"stream too long", png_of_rows(8, 4, 6, longer, 1000)},
        {"stream too short", png_of_rows(8, 4, 6, shorter, 1000)},
    };
    for (const auto &other : others) {
        EXPECT_EQ(reader_result(other.second), NOT_PLAIN) << other.first;
        // What the loader then does is the decoder's.
        rgba_image picture = {0, 0, nullptr};
        const char *reason =
            decode_picture(other.second.data(), int32_t(other.second.size()), FMT_PNG, &picture);
        pixels_of theirs = by_decoder(other.second);
        EXPECT_EQ(reason == nullptr, theirs.decoded) << other.first;
        if (picture.pixels) {
            EXPECT_TRUE(bytes(picture.pixels, picture.pixels + theirs.rgba.size()) == theirs.rgba)
                << other.first;
        }
        free(picture.pixels);
    }
}

TEST(PlainPng, ReadsTheCorpusFilesItTakesAsTheDecoderDoes) {
    fs::path corpus = PIXTRIM_CORPUS_DIR;
    if (!fs::is_directory(corpus)) GTEST_SKIP() << "corpus not found at " << corpus << "; skipping";
    int plain = 0;
    for (const fs::directory_entry &entry : fs::recursive_directory_iterator(corpus)) {
        if (!entry.is_regular_file() || entry.path().extension() != ".png") continue;
        bytes file = read_bytes(entry.path());
        if (reader_result(file) != PLAIN_DECODED) continue;
        expect_plain_and_same(file, entry.path().string());
        ++plain;
    }
    EXPECT_GE(plain, 10) << "plain PNGs in the corpus";
}
