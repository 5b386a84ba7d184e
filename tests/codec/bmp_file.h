// BMP files built byte by byte, in every header size the decoder knows, for
// the loader's tests and the BMP fuzz target.
#ifndef PIXTRIM_TEST_BMP_FILE_H
#define PIXTRIM_TEST_BMP_FILE_H

#include <cstdint>
#include <vector>

namespace test_support {

struct bmp_shape {
    uint32_t header_size = 40;  // 12 (OS/2), 40, 56, 108, 124
    uint16_t bits_per_pixel = 24;
    int32_t compression = 0;  // 3: bit-field masks
    int32_t width = 1;
    int32_t height = 1;  // negative: rows top to bottom
    uint16_t planes = 1;
    // Red, green, blue, alpha, in headers of 56 bytes and more. With bit
    // fields, headers under 108 bytes have three more after them, where the
    // decoder reads its masks.
    uint32_t masks[4] = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
    int32_t offset_change = 0;  // added to the offset of the rows
};

// Padded row bytes of the described picture, as the file stores them.
inline int64_t bmp_stride(const bmp_shape &s) {
    int64_t width = s.width < 0 ? -int64_t{s.width} : s.width;
    return (width * s.bits_per_pixel + 31) / 32 * 4;
}

// The file: headers, then rows (the bytes after the headers, as they are).
inline std::vector<uint8_t> bmp_file(const bmp_shape &s, const std::vector<uint8_t> &rows) {
    std::vector<uint8_t> b(14 + s.header_size, 0);
    auto put16 = [&](size_t at, uint32_t v) {
        b[at] = uint8_t(v), b[at + 1] = uint8_t(v >> 8);
    };
    auto put32 = [&](size_t at, uint32_t v) { put16(at, v), put16(at + 2, v >> 16); };
    b[0] = 'B', b[1] = 'M';
    put32(14, s.header_size);
    if (s.header_size == 12) {
        put16(18, uint32_t(s.width)), put16(20, uint32_t(s.height));
        put16(22, s.planes), put16(24, s.bits_per_pixel);
    } else {
        put32(18, uint32_t(s.width)), put32(22, uint32_t(s.height));
        put16(26, s.planes), put16(28, s.bits_per_pixel);
        put32(30, uint32_t(s.compression));
        if (s.header_size >= 56)
            for (int i = 0; i < 4; ++i) put32(54 + 4 * i, s.masks[i]);
        if (s.header_size < 108 && s.compression == 3)
            for (int i = 0; i < 3; ++i) {
                b.resize(b.size() + 4);
                put32(b.size() - 4, s.masks[i]);
            }
    }
    put32(10, uint32_t(int32_t(b.size()) + s.offset_change));
    b.insert(b.end(), rows.begin(), rows.end());
    put32(2, uint32_t(b.size()));
    return b;
}

}  // namespace test_support

#endif
