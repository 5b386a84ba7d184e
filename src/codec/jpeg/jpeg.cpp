#include "codec/jpeg/jpeg.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "codec/jpeg/jpeg_transform.h"
#include "codec/memory.h"

// Every float operation below is one of stb's, in stb's order; the build
// turns off contraction into fused multiply-adds for this file, which would
// round differently.

namespace {

using float_block = std::unique_ptr<float, decltype(&free)>;
using byte_block = std::unique_ptr<uint8_t, decltype(&free)>;

constexpr int kMaxSide = 65535;

// Coded bytes collect in a buffer that goes to the file whenever it holds
// this much; the slack takes one block's worst case (every byte stuffed) and
// the headers.
constexpr size_t kOutputChunk = 64 * 1024;
constexpr size_t kOutputSlack = 4096;

// Zigzag position of each coefficient in natural order.
const uint8_t kZigzag[64] = {0,  1,  5,  6,  14, 15, 27, 28, 2,  4,  7,  13, 16, 26, 29, 42,
                             3,  8,  12, 17, 25, 30, 41, 43, 9,  11, 18, 24, 31, 40, 44, 53,
                             10, 19, 23, 32, 39, 45, 52, 54, 20, 22, 33, 38, 46, 51, 55, 60,
                             21, 34, 37, 47, 50, 56, 59, 61, 35, 36, 48, 49, 57, 58, 62, 63};

const int kLumaQuant[64] = {16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
                            14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
                            18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
                            49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
const int kChromaQuant[64] = {17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
                              24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
                              99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
                              99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};
// The AAN DCT's output scale per row and column, folded into the quantiser.
const float kAanScale[8] = {1.0f * 2.828427125f,         1.387039845f * 2.828427125f,
                            1.306562965f * 2.828427125f, 1.175875602f * 2.828427125f,
                            1.0f * 2.828427125f,         0.785694958f * 2.828427125f,
                            0.541196100f * 2.828427125f, 0.275899379f * 2.828427125f};

// The standard Huffman tables as the DHT segment carries them: code counts
// per length 1-16, then the symbols.
const uint8_t kDcLumaCounts[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
const uint8_t kDcChromaCounts[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
const uint8_t kDcSymbols[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
const uint8_t kAcLumaCounts[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
const uint8_t kAcLumaSymbols[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
const uint8_t kAcChromaCounts[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
const uint8_t kAcChromaSymbols[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
    0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
    0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
    0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

// Per symbol, its code shifted past the value bits that follow it, and the
// length of both: a symbol's low four bits count those value bits (the
// values of 8-bit pictures need at most 12). Symbols no table assigns have
// a code of length 0, so a value too large for the tables writes its bits
// alone, as stb's does.
struct huffman_table {
    uint32_t code[256];
    uint8_t length[256];
};

struct huffman_set {
    huffman_table dc[2], ac[2];  // luma, chroma
};

// Canonical codes: each length's codes follow the previous length's, doubled.
void build_huffman(const uint8_t *counts, const uint8_t *symbols, huffman_table *table) {
    for (int symbol = 0; symbol < 256; ++symbol) {
        table->code[symbol] = 0;
        table->length[symbol] = static_cast<uint8_t>(symbol & 15);
    }
    unsigned code = 0;
    for (int length = 1, k = 0; length <= 16; ++length, code <<= 1)
        for (int i = 0; i < counts[length - 1]; ++i, ++k, ++code) {
            int value_bits = symbols[k] & 15;
            table->code[symbols[k]] = code << value_bits;
            table->length[symbols[k]] = static_cast<uint8_t>(length + value_bits);
        }
}

const huffman_set &huffman_tables() {
    static const huffman_set set = [] {
        huffman_set s;
        build_huffman(kDcLumaCounts, kDcSymbols, &s.dc[0]);
        build_huffman(kDcChromaCounts, kDcSymbols, &s.dc[1]);
        build_huffman(kAcLumaCounts, kAcLumaSymbols, &s.ac[0]);
        build_huffman(kAcChromaCounts, kAcChromaSymbols, &s.ac[1]);
        return s;
    }();
    return set;
}

// What one quality asks of the quantiser and the headers.
struct quality_tables {
    bool subsample;
    uint8_t quant[2][64];   // luma, chroma; zigzag order, as the DQT segment holds them
    float scale[2][64];     // natural order: the reciprocal of quantiser step times AAN scale
};

int clamped_quality(int quality) {
    quality = quality ? quality : 90;
    return quality < 1 ? 1 : quality > 100 ? 100 : quality;
}

void make_quality_tables(int quality, quality_tables *t) {
    t->subsample = jpeg_subsamples(quality);
    quality = clamped_quality(quality);
    int factor = quality < 50 ? 5000 / quality : 200 - quality * 2;
    const int *bases[2] = {kLumaQuant, kChromaQuant};
    for (int c = 0; c < 2; ++c) {
        for (int i = 0; i < 64; ++i) {
            int step = (bases[c][i] * factor + 50) / 100;
            t->quant[c][kZigzag[i]] = static_cast<uint8_t>(step < 1 ? 1 : step > 255 ? 255 : step);
        }
        for (int row = 0, k = 0; row < 8; ++row)
            for (int col = 0; col < 8; ++col, ++k)
                t->scale[c][k] = 1 / (t->quant[c][kZigzag[k]] * kAanScale[row] * kAanScale[col]);
    }
}

// Buffered output with a 64-bit bit accumulator: bits enter at the bottom,
// whole 32-bit words leave from the top, and every 0xFF byte in the coded
// data is followed by a 0 byte.
struct bit_writer {
    FILE *file;
    bool failed;
    uint8_t *buffer;
    uint8_t *next;
    uint64_t bits;
    int count;  // bits held, below 32 between calls
};

void drain(bit_writer *w) {
    size_t length = static_cast<size_t>(w->next - w->buffer);
    if (!w->failed && length && fwrite(w->buffer, 1, length, w->file) != length) w->failed = true;
    w->next = w->buffer;
}

void put_bytes(bit_writer *w, const void *bytes, size_t length) {
    memcpy(w->next, bytes, length);
    w->next += length;
}

inline void put_coded_byte(bit_writer *w, uint8_t byte) {
    *w->next++ = byte;
    if (byte == 0xFF) *w->next++ = 0;
}

inline void put_bits(bit_writer *w, uint32_t code, int length) {
    w->bits = (w->bits << length) | code;
    w->count += length;
    if (w->count < 32) return;
    w->count -= 32;
    uint32_t word = static_cast<uint32_t>(w->bits >> w->count);
    uint32_t inverted = ~word;
    bool has_ff = ((inverted - 0x01010101u) & ~inverted & 0x80808080u) != 0;
    if (!has_ff) {
        uint8_t *p = w->next;
        p[0] = static_cast<uint8_t>(word >> 24);
        p[1] = static_cast<uint8_t>(word >> 16);
        p[2] = static_cast<uint8_t>(word >> 8);
        p[3] = static_cast<uint8_t>(word);
        w->next = p + 4;
    } else {
        for (int shift = 24; shift >= 0; shift -= 8)
            put_coded_byte(w, static_cast<uint8_t>(word >> shift));
    }
}

// The last byte of the scan is filled with 1 bits, then the end marker.
void finish_scan(bit_writer *w) {
    while (w->count >= 8) {
        w->count -= 8;
        put_coded_byte(w, static_cast<uint8_t>(w->bits >> w->count));
    }
    if (w->count > 0) {
        int fill = 8 - w->count;
        put_coded_byte(w, static_cast<uint8_t>((w->bits << fill) | ((1u << fill) - 1)));
    }
    w->count = 0;
    static const uint8_t kEnd[2] = {0xFF, 0xD9};
    put_bytes(w, kEnd, 2);
}

// SOI and the JFIF APP0 segment, then whatever the caller carries (whole
// segments), then the tables, the frame and the scan header.
void put_headers(bit_writer *w, const quality_tables &t, int width, int height,
                 const uint8_t *segments, size_t segments_size) {
    static const uint8_t kStart[] = {0xFF, 0xD8, 0xFF, 0xE0, 0, 0x10, 'J', 'F', 'I', 'F',
                                     0,    1,    1,    0,    0, 1,    0,   1,   0,   0};
    static const uint8_t kTables[] = {0xFF, 0xDB, 0, 0x84, 0};
    static const uint8_t kScan[] = {0xFF, 0xDA, 0, 0xC, 3, 1, 0, 2, 0x11, 3, 0x11, 0, 0x3F, 0};
    const uint8_t frame[] = {0xFF, 0xC0, 0, 0x11, 8,
                             static_cast<uint8_t>(height >> 8), static_cast<uint8_t>(height),
                             static_cast<uint8_t>(width >> 8), static_cast<uint8_t>(width),
                             3, 1, static_cast<uint8_t>(t.subsample ? 0x22 : 0x11), 0, 2, 0x11, 1,
                             3, 0x11, 1, 0xFF, 0xC4, 0x01, 0xA2, 0};
    put_bytes(w, kStart, sizeof kStart);
    if (segments_size) {
        drain(w);
        if (!w->failed && fwrite(segments, 1, segments_size, w->file) != segments_size)
            w->failed = true;
    }
    put_bytes(w, kTables, sizeof kTables);
    put_bytes(w, t.quant[0], 64);
    *w->next++ = 1;
    put_bytes(w, t.quant[1], 64);
    put_bytes(w, frame, sizeof frame);
    put_bytes(w, kDcLumaCounts, 16);
    put_bytes(w, kDcSymbols, sizeof kDcSymbols);
    *w->next++ = 0x10;
    put_bytes(w, kAcLumaCounts, 16);
    put_bytes(w, kAcLumaSymbols, sizeof kAcLumaSymbols);
    *w->next++ = 1;
    put_bytes(w, kDcChromaCounts, 16);
    put_bytes(w, kDcSymbols, sizeof kDcSymbols);
    *w->next++ = 0x11;
    put_bytes(w, kAcChromaCounts, 16);
    put_bytes(w, kAcChromaSymbols, sizeof kAcChromaSymbols);
    put_bytes(w, kScan, sizeof kScan);
}

// Bits needed for the magnitude of a value (31 ^ clz is the top bit's index).
inline int nonzero_magnitude_bits(int value) {
    return (31 ^ __builtin_clz(static_cast<unsigned>(value < 0 ? -value : value))) + 1;
}

inline int magnitude_bits(int value) { return value ? nonzero_magnitude_bits(value) : 0; }

// A symbol's code, then the value's bits as the scan carries them: negative
// values one less, cut to size bits.
inline void put_value(bit_writer *w, const huffman_table &table, int symbol, int value,
                      int size) {
    uint32_t bits = static_cast<uint32_t>(value + (value >> 31)) & ((1u << size) - 1);
    put_bits(w, table.code[symbol] | bits, table.length[symbol]);
}

#ifdef PIXTRIM_JPEG_AVX2
// The transform and the quantiser have AVX2 builds for processors with it.
// This runs among the library's constructors, perhaps before the one that
// reads the processor's features, so it reads them itself.
const bool s_avx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
#endif

// Natural position of each zigzag position.
struct zigzag_maps {
    uint8_t natural[64];
    // Zigzag bits of the nonzero coefficients of one row (8 bits, natural order).
    uint64_t row_bits[8][256];
};

const zigzag_maps &zigzag_tables() {
    static const zigzag_maps maps = [] {
        zigzag_maps m;
        for (int j = 0; j < 64; ++j) m.natural[kZigzag[j]] = static_cast<uint8_t>(j);
        for (int row = 0; row < 8; ++row)
            for (int bits = 0; bits < 256; ++bits) {
                uint64_t z = 0;
                for (int col = 0; col < 8; ++col)
                    if (bits >> col & 1) z |= uint64_t{1} << kZigzag[row * 8 + col];
                m.row_bits[row][bits] = z;
            }
        return m;
    }();
    return maps;
}

// Quantises one transformed block into natural order; returns the mask of
// its nonzero coefficients by zigzag position.
uint64_t quantise(const float *block, const float *scale, int16_t *natural) {
#ifdef PIXTRIM_JPEG_AVX2
    uint64_t nonzero = s_avx2 ? jpeg_quantise_avx2(block, scale, natural)
                              : quantise_block(block, scale, natural);
#else
    uint64_t nonzero = quantise_block(block, scale, natural);
#endif
    const zigzag_maps &maps = zigzag_tables();
    uint64_t zigzag = 0;
    for (int row = 0; row < 8; ++row) zigzag |= maps.row_bits[row][(nonzero >> (row * 8)) & 0xFF];
    return zigzag;
}

// Quantises and codes one block against the previous DC value of its
// component; returns its own DC value.
int code_block(bit_writer *writer, const float *block, const float *scale, int previous_dc,
               const huffman_table &dc, const huffman_table &ac) {
    // A local copy keeps the writer in registers: its byte stores could
    // otherwise alias the accumulator and force reloads after each one.
    bit_writer local = *writer, *w = &local;
    alignas(16) int16_t natural[64];
    uint64_t nonzero = quantise(block, scale, natural);
    const uint8_t *position = zigzag_tables().natural;
    int diff = natural[0] - previous_dc;
    int size = magnitude_bits(diff);
    put_value(w, dc, size, diff, size);
    nonzero &= ~uint64_t{1};
    int last = 0;
    while (nonzero) {
        int i = __builtin_ctzll(nonzero);
        int run = i - last - 1;
        for (; run >= 16; run -= 16) put_bits(w, ac.code[0xF0], ac.length[0xF0]);
        int value = natural[position[i]];
        size = nonzero_magnitude_bits(value);
        put_value(w, ac, (run << 4) + size, value, size);
        last = i;
        nonzero &= nonzero - 1;
    }
    if (last != 63) put_bits(w, ac.code[0], ac.length[0]);
    *writer = local;
    return natural[0];
}

// Codes whole MCUs of transformed blocks; dc holds the three components'
// predictions across calls.
void code_blocks(bit_writer *w, const quality_tables &t, const float *blocks, size_t count,
                 int dc[3]) {
    const huffman_set &h = huffman_tables();
    // Component of each block of an MCU: four luma blocks then Cb, Cr when
    // subsampled, one of each otherwise.
    static const int kSubsampled[6] = {0, 0, 0, 0, 1, 2}, kFull[3] = {0, 1, 2};
    const int *components = t.subsample ? kSubsampled : kFull;
    size_t per_mcu = t.subsample ? 6 : 3;
    for (size_t i = 0; i < count; i += per_mcu) {
        for (size_t b = 0; b < per_mcu; ++b, blocks += kBlockFloats) {
            int component = components[b], table = component ? 1 : 0;
            dc[component] = code_block(w, blocks, t.scale[table], dc[component], h.dc[table],
                                       h.ac[table]);
        }
        if (static_cast<size_t>(w->next - w->buffer) >= kOutputChunk) drain(w);
    }
}

// The row transform for this processor: the AVX2 build where there is one.
void transform_row(const rgba_image *image, const mcu_layout &l, size_t row, float *blocks) {
#ifdef PIXTRIM_JPEG_AVX2
    if (s_avx2) {
        jpeg_transform_row_avx2(image, l.side == 16, row, blocks);
        return;
    }
#endif
    transform_mcu_row(image, l, row, blocks);
}

struct writer_setup {
    byte_block buffer{nullptr, free};
    bit_writer writer;
};

// A writer on file with its buffer, or false when memory runs out.
bool open_writer(FILE *file, writer_setup *setup) {
    setup->buffer.reset(static_cast<uint8_t *>(malloc(kOutputChunk + kOutputSlack)));
    if (!setup->buffer) return false;
    setup->writer = {file, false, setup->buffer.get(), setup->buffer.get(), 0, 0};
    return true;
}

jpeg_result close_writer(bit_writer *w) {
    finish_scan(w);
    drain(w);
    return w->failed ? JPEG_WRITE_FAILED : JPEG_OK;
}

bool valid_picture(const rgba_image *image) {
    return image->width >= 1 && image->height >= 1 && image->width <= kMaxSide &&
           image->height <= kMaxSide;
}

}  // namespace

bool jpeg_subsamples(int quality) { return (quality ? quality : 90) <= 90; }

jpeg_result jpeg_transform(const rgba_image *image, bool subsample, jpeg_coefficients *out) {
    *out = {image->width, image->height, subsample, 0, nullptr};
    if (!valid_picture(image)) return JPEG_BAD_INPUT;
    mcu_layout l = layout_of(image, subsample);
    size_t count = l.across * l.down * l.per_mcu;
    float *blocks = static_cast<float *>(allocate_large(count * kBlockFloats * sizeof(float)));
    if (!blocks) return JPEG_NO_MEMORY;
    size_t row_floats = l.across * l.per_mcu * kBlockFloats;
    for (size_t row = 0; row < l.down; ++row)
        transform_row(image, l, row, blocks + row * row_floats);
    out->block_count = count;
    out->blocks = blocks;
    return JPEG_OK;
}

void jpeg_release(jpeg_coefficients *coefficients) {
    free(coefficients->blocks);
    coefficients->blocks = nullptr;
    coefficients->block_count = 0;
}

jpeg_result jpeg_write_coefficients(FILE *file, const jpeg_coefficients *coefficients,
                                    int quality, const uint8_t *segments, size_t segments_size) {
    if (jpeg_subsamples(quality) != coefficients->subsample) return JPEG_BAD_INPUT;
    writer_setup setup;
    if (!open_writer(file, &setup)) return JPEG_NO_MEMORY;
    quality_tables t;
    make_quality_tables(quality, &t);
    put_headers(&setup.writer, t, coefficients->width, coefficients->height, segments,
                segments_size);
    int dc[3] = {0, 0, 0};
    code_blocks(&setup.writer, t, coefficients->blocks, coefficients->block_count, dc);
    return close_writer(&setup.writer);
}

jpeg_result jpeg_encode_file(FILE *file, const rgba_image *image, int quality,
                             const uint8_t *segments, size_t segments_size) {
    if (!valid_picture(image)) return JPEG_BAD_INPUT;
    quality_tables t;
    make_quality_tables(quality, &t);
    mcu_layout l = layout_of(image, t.subsample);
    size_t row_blocks = l.across * l.per_mcu;
    float_block row(static_cast<float *>(malloc(row_blocks * kBlockFloats * sizeof(float))), free);
    writer_setup setup;
    if (!row || !open_writer(file, &setup)) return JPEG_NO_MEMORY;
    put_headers(&setup.writer, t, image->width, image->height, segments, segments_size);
    int dc[3] = {0, 0, 0};
    for (size_t r = 0; r < l.down; ++r) {
        transform_row(image, l, r, row.get());
        code_blocks(&setup.writer, t, row.get(), row_blocks, dc);
    }
    return close_writer(&setup.writer);
}
