// JPEG segments and PNG chunks built and taken apart byte by byte, and the
// operations run on files made of them, for the tests of what outputs keep
// of their inputs.
#ifndef PIXTRIM_TEST_FILE_PARTS_H
#define PIXTRIM_TEST_FILE_PARTS_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "pixtrim.h"
#include "support.h"

namespace test_support {

using bytes = std::vector<uint8_t>;

inline void put16(bytes &to, uint32_t v, bool big = true) {
    if (big)
        to.insert(to.end(), {uint8_t(v >> 8), uint8_t(v)});
    else
        to.insert(to.end(), {uint8_t(v), uint8_t(v >> 8)});
}
inline void put32(bytes &to, uint32_t v, bool big = true) {
    put16(to, big ? v >> 16 : v & 0xFFFF, big);
    put16(to, big ? v & 0xFFFF : v >> 16, big);
}
inline uint32_t be32_at(const bytes &b, size_t at) {
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}
inline bytes operator+(bytes a, const bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
inline bytes text(const char *s, size_t n) { return bytes(s, s + n); }

inline bytes segment(uint8_t marker, const bytes &payload) {
    bytes s = {0xFF, marker};
    put16(s, static_cast<uint32_t>(payload.size() + 2));
    return s + payload;
}

// TIFF data whose IFD0 holds one entry: tag, type, count, value.
inline bytes tiff(uint32_t value, bool big = true, uint32_t type = 3, uint32_t count = 1,
                  uint32_t ifd_offset = 8) {
    bytes t = big ? text("MM", 2) : text("II", 2);
    put16(t, 42, big);
    put32(t, ifd_offset, big);
    put16(t, 1, big);
    put16(t, 0x0112, big);
    put16(t, type, big);
    put32(t, count, big);
    put16(t, value, big);
    put16(t, 0, big);
    put32(t, 0, big);  // no next IFD
    return t;
}

inline bytes exif_segment(const bytes &tiff_data) {
    return segment(0xE1, text("Exif\0\0", 6) + tiff_data);
}

// A JPEG with segments put right after SOI (before stb's JFIF segment).
inline bytes jpeg_with(const bytes &jpeg, const bytes &segments) {
    return bytes(jpeg.begin(), jpeg.begin() + 2) + segments + bytes(jpeg.begin() + 2, jpeg.end());
}

inline bytes chunk(const char *type, const bytes &data) {
    bytes c;
    put32(c, static_cast<uint32_t>(data.size()));
    c = c + text(type, 4) + data;
    uint32_t crc = 0;  // zlib's CRC-32, computed here
    crc = ~crc;
    for (size_t i = 4; i < c.size(); ++i) {
        crc ^= c[i];
        for (int k = 0; k < 8; ++k) crc = crc & 1 ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    put32(c, ~crc);
    return c;
}

constexpr size_t kIhdrEnd = 33;

// A PNG with chunks put right after IHDR, or before IEND.
inline bytes png_with(const bytes &png, const bytes &chunks, bool after_data = false) {
    size_t at = after_data ? png.size() - 12 : kIhdrEnd;
    return bytes(png.begin(), png.begin() + at) + chunks + bytes(png.begin() + at, png.end());
}

struct jpeg_parts {
    std::vector<std::pair<int, bytes>> segments;  // marker and payload, up to the first scan
    size_t scan_at = 0;
};

inline jpeg_parts split_jpeg(const bytes &f) {
    jpeg_parts parts;
    size_t at = 2;
    while (at + 4 <= f.size() && f[at] == 0xFF && f[at + 1] != 0xDA) {
        size_t length = size_t(f[at + 2]) << 8 | f[at + 3];
        parts.segments.push_back(
            {f[at + 1], bytes(f.begin() + at + 4, f.begin() + at + 2 + length)});
        at += 2 + length;
    }
    parts.scan_at = at;
    return parts;
}

struct png_chunk_view {
    std::string type;
    bytes whole;  // length, type, data, CRC
};

inline std::vector<png_chunk_view> chunks_of(const bytes &f) {
    std::vector<png_chunk_view> out;
    for (size_t at = 8; at + 12 <= f.size();) {
        size_t length = be32_at(f, at);
        out.push_back({std::string(f.begin() + at + 4, f.begin() + at + 8),
                       bytes(f.begin() + at, f.begin() + at + 12 + length)});
        at += 12 + length;
    }
    return out;
}

inline std::string chunk_types(const bytes &f) {
    std::string types;
    for (auto &c : chunks_of(f)) types += c.type + " ";
    return types;
}

// ---- the operations ----

// Runs op on the bytes as an input file and returns the output file's bytes.
struct run {
    scratch_dir dir;
    int count = 0;

    bytes lossless(const bytes &input, const char *ext) {
        return through(input, ext,
                       [](const char *in, const char *out) { return pixtrim_lossless(in, out); });
    }
    bytes quality(const bytes &input, const char *ext, int q) {
        return through(input, ext, [q](const char *in, const char *out) {
            return pixtrim_quality(in, out, q);
        });
    }
    template <typename Op>
    bytes through(const bytes &input, const char *ext, Op op) {
        std::string in = dir / ("in" + std::to_string(++count));
        std::string out = dir / ("out" + std::to_string(count) + ext);
        write_bytes(in, input);
        EXPECT_EQ(op(in.c_str(), out.c_str()), 1) << pixtrim_last_error();
        return read_bytes(out);
    }
};

inline bytes jpeg_of(const picture &p) {
    scratch_dir dir;
    save_jpg(dir / "p.jpg", p);
    return read_bytes(dir / "p.jpg");
}
inline bytes png_of(const picture &p) {
    scratch_dir dir;
    save_png(dir / "p.png", p);
    return read_bytes(dir / "p.png");
}

inline picture decoded_bytes(const bytes &f) {
    scratch_dir dir;
    write_bytes(dir / "f", f);
    return decode_file(dir / "f").image;
}

inline void expect_same_picture(const picture &a, const picture &b) {
    ASSERT_EQ(a.width, b.width);
    ASSERT_EQ(a.height, b.height);
    EXPECT_TRUE(a.rgba == b.rgba);
}

inline bool contains(const bytes &haystack, const char *needle) {
    size_t n = strlen(needle);
    return std::search(haystack.begin(), haystack.end(), needle, needle + n) != haystack.end();
}

}  // namespace test_support

#endif
