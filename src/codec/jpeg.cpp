#include "codec/jpeg.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#if defined(__SSE2__) && !defined(PIXTRIM_JPEG_SCALAR)
#define PIXTRIM_JPEG_SSE2 1
#include <emmintrin.h>
#endif

// Every float operation below is one of stb's, in stb's order; the build
// turns off contraction into fused multiply-adds for this file, which would
// round differently.

namespace {

using float_block = std::unique_ptr<float, decltype(&free)>;
using byte_block = std::unique_ptr<uint8_t, decltype(&free)>;

constexpr int kBlockFloats = 64;
constexpr int kMaxSide = 65535;

// Coded bytes collect in a buffer that goes to the file whenever it holds
// this much; the slack takes one block's worst case (every byte stuffed) and
// the headers.
constexpr size_t kOutputChunk = 256 * 1024;
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

// Code and length per symbol; symbols no table assigns have length 0, so a
// value too large for the tables writes its bits alone, as stb's does.
struct huffman_table {
    uint16_t code[256];
    uint8_t length[256];
};

struct huffman_set {
    huffman_table dc[2], ac[2];  // luma, chroma
};

// Canonical codes: each length's codes follow the previous length's, doubled.
void build_huffman(const uint8_t *counts, const uint8_t *symbols, huffman_table *table) {
    memset(table, 0, sizeof *table);
    unsigned code = 0;
    for (int length = 1, k = 0; length <= 16; ++length, code <<= 1)
        for (int i = 0; i < counts[length - 1]; ++i, ++k, ++code) {
            table->code[symbols[k]] = static_cast<uint16_t>(code);
            table->length[symbols[k]] = static_cast<uint8_t>(length);
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

void put_headers(bit_writer *w, const quality_tables &t, int width, int height) {
    static const uint8_t kStart[] = {0xFF, 0xD8, 0xFF, 0xE0, 0, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1,
                                     0,    0,    1,    0,    1, 0,    0,   0xFF, 0xDB, 0, 0x84, 0};
    static const uint8_t kScan[] = {0xFF, 0xDA, 0, 0xC, 3, 1, 0, 2, 0x11, 3, 0x11, 0, 0x3F, 0};
    const uint8_t frame[] = {0xFF, 0xC0, 0, 0x11, 8,
                             static_cast<uint8_t>(height >> 8), static_cast<uint8_t>(height),
                             static_cast<uint8_t>(width >> 8), static_cast<uint8_t>(width),
                             3, 1, static_cast<uint8_t>(t.subsample ? 0x22 : 0x11), 0, 2, 0x11, 1,
                             3, 0x11, 1, 0xFF, 0xC4, 0x01, 0xA2, 0};
    put_bytes(w, kStart, sizeof kStart);
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

// Bits needed for the magnitude of a nonzero value, and the value's bits as
// the scan carries them (negative values one less, cut to that many bits).
inline int magnitude_bits(int value) {
    unsigned magnitude = static_cast<unsigned>(value < 0 ? -value : value);
    return magnitude ? 32 - __builtin_clz(magnitude) : 0;
}

inline void put_value(bit_writer *w, const huffman_table &table, int symbol, int value,
                      int size) {
    uint32_t bits = static_cast<uint32_t>(value < 0 ? value - 1 : value) & ((1u << size) - 1);
    put_bits(w, (static_cast<uint32_t>(table.code[symbol]) << size) | bits,
             table.length[symbol] + size);
}

// Quantises one transformed block into zigzag order; returns the mask of its
// nonzero coefficients (bit i for zigzag position i).
uint64_t quantise(const float *block, const float *scale, int16_t *zigzag) {
#ifdef PIXTRIM_JPEG_SSE2
    alignas(16) int32_t natural[64];
    const __m128 zero = _mm_setzero_ps(), up = _mm_set1_ps(0.5f), down = _mm_set1_ps(-0.5f);
    for (int k = 0; k < 64; k += 4) {
        __m128 v = _mm_mul_ps(_mm_loadu_ps(block + k), _mm_loadu_ps(scale + k));
        __m128 negative = _mm_cmplt_ps(v, zero);
        __m128 half = _mm_or_ps(_mm_and_ps(negative, down), _mm_andnot_ps(negative, up));
        _mm_store_si128(reinterpret_cast<__m128i *>(natural + k),
                        _mm_cvttps_epi32(_mm_add_ps(v, half)));
    }
    for (int j = 0; j < 64; ++j) zigzag[kZigzag[j]] = static_cast<int16_t>(natural[j]);
    uint64_t zeros = 0;
    const __m128i none = _mm_setzero_si128();
    for (int k = 0; k < 64; k += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(zigzag + k));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(zigzag + k + 8));
        __m128i eq = _mm_packs_epi16(_mm_cmpeq_epi16(a, none), _mm_cmpeq_epi16(b, none));
        zeros |= static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(eq))) << k;
    }
    return ~zeros;
#else
    uint64_t nonzero = 0;
    for (int j = 0; j < 64; ++j) {
        float v = block[j] * scale[j];
        int q = static_cast<int>(v < 0 ? v - 0.5f : v + 0.5f);
        zigzag[kZigzag[j]] = static_cast<int16_t>(q);
        if (q) nonzero |= uint64_t{1} << kZigzag[j];
    }
    return nonzero;
#endif
}

// Quantises and codes one block against the previous DC value of its
// component; returns its own DC value.
int code_block(bit_writer *w, const float *block, const float *scale, int previous_dc,
               const huffman_table &dc, const huffman_table &ac) {
    alignas(16) int16_t zz[64];
    uint64_t nonzero = quantise(block, scale, zz);
    int diff = zz[0] - previous_dc;
    int size = magnitude_bits(diff);
    put_value(w, dc, size, diff, size);
    nonzero &= ~uint64_t{1};
    int last = 0;
    while (nonzero) {
        int i = __builtin_ctzll(nonzero);
        int run = i - last - 1;
        for (; run >= 16; run -= 16) put_bits(w, ac.code[0xF0], ac.length[0xF0]);
        int value = zz[i];
        size = magnitude_bits(value);
        put_value(w, ac, (run << 4) + size, value, size);
        last = i;
        nonzero &= nonzero - 1;
    }
    if (last != 63) put_bits(w, ac.code[0], ac.length[0]);
    return zz[0];
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

// The AAN forward DCT of eight values, as stb computes it; V is float, or a
// vector of four floats holding four independent rows or columns.
template <typename V>
inline void dct8(V &d0, V &d1, V &d2, V &d3, V &d4, V &d5, V &d6, V &d7) {
    V tmp0 = d0 + d7, tmp7 = d0 - d7, tmp1 = d1 + d6, tmp6 = d1 - d6;
    V tmp2 = d2 + d5, tmp5 = d2 - d5, tmp3 = d3 + d4, tmp4 = d3 - d4;

    V tmp10 = tmp0 + tmp3, tmp13 = tmp0 - tmp3, tmp11 = tmp1 + tmp2, tmp12 = tmp1 - tmp2;
    d0 = tmp10 + tmp11;
    d4 = tmp10 - tmp11;
    V z1 = (tmp12 + tmp13) * 0.707106781f;
    d2 = tmp13 + z1;
    d6 = tmp13 - z1;

    tmp10 = tmp4 + tmp5;
    tmp11 = tmp5 + tmp6;
    tmp12 = tmp6 + tmp7;
    V z5 = (tmp10 - tmp12) * 0.382683433f;
    V z2 = tmp10 * 0.541196100f + z5;
    V z4 = tmp12 * 1.306562965f + z5;
    V z3 = tmp11 * 0.707106781f;
    V z11 = tmp7 + z3, z13 = tmp7 - z3;
    d5 = z13 + z2;
    d3 = z13 - z2;
    d1 = z11 + z4;
    d7 = z11 - z4;
}

// Rows first, then columns, in place.
void dct_block(float *b) {
#ifdef PIXTRIM_JPEG_SSE2
    // v[r][h]: row r, columns 4h to 4h+3. Transposed, the lanes of a vector
    // are four rows, so one dct8 transforms four rows at once.
    __m128 v[8][2];
    for (int r = 0; r < 8; ++r) {
        v[r][0] = _mm_loadu_ps(b + r * 8);
        v[r][1] = _mm_loadu_ps(b + r * 8 + 4);
    }
    auto transpose = [&v] {
        _MM_TRANSPOSE4_PS(v[0][0], v[1][0], v[2][0], v[3][0]);
        _MM_TRANSPOSE4_PS(v[0][1], v[1][1], v[2][1], v[3][1]);
        _MM_TRANSPOSE4_PS(v[4][0], v[5][0], v[6][0], v[7][0]);
        _MM_TRANSPOSE4_PS(v[4][1], v[5][1], v[6][1], v[7][1]);
        for (int r = 0; r < 4; ++r) {
            __m128 swapped = v[r][1];
            v[r][1] = v[r + 4][0];
            v[r + 4][0] = swapped;
        }
    };
    transpose();
    for (int h = 0; h < 2; ++h)
        dct8(v[0][h], v[1][h], v[2][h], v[3][h], v[4][h], v[5][h], v[6][h], v[7][h]);
    transpose();
    for (int h = 0; h < 2; ++h)
        dct8(v[0][h], v[1][h], v[2][h], v[3][h], v[4][h], v[5][h], v[6][h], v[7][h]);
    for (int r = 0; r < 8; ++r) {
        _mm_storeu_ps(b + r * 8, v[r][0]);
        _mm_storeu_ps(b + r * 8 + 4, v[r][1]);
    }
#else
    for (int r = 0; r < 64; r += 8)
        dct8(b[r], b[r + 1], b[r + 2], b[r + 3], b[r + 4], b[r + 5], b[r + 6], b[r + 7]);
    for (int c = 0; c < 8; ++c)
        dct8(b[c], b[c + 8], b[c + 16], b[c + 24], b[c + 32], b[c + 40], b[c + 48], b[c + 56]);
#endif
}

template <typename V>
inline void to_ycbcr(V r, V g, V b, V &y, V &cb, V &cr) {
    y = 0.29900f * r + 0.58700f * g + 0.11400f * b - 128.0f;
    cb = -0.16874f * r - 0.33126f * g + 0.50000f * b;
    cr = 0.50000f * r - 0.41869f * g - 0.08131f * b;
}

// Converts eight RGBA pixels, composited onto white (c * A / 255 + 255 - A,
// exact for opaque pixels), into one row of a Y, a Cb and a Cr block.
void convert8(const uint8_t *rgba, float *y, float *cb, float *cr) {
#ifdef PIXTRIM_JPEG_SSE2
    const __m128i low_byte = _mm_set1_epi32(0xFF), div255 = _mm_set1_epi32(0x8081);
    for (int i = 0; i < 8; i += 4) {
        __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i *>(rgba + i * 4));
        __m128i alpha = _mm_srli_epi32(px, 24);
        __m128i white = _mm_sub_epi32(low_byte, alpha);
        // c * A fits the low 16 bits of each lane; (x * 0x8081) >> 23 is
        // x / 255 for every such x.
        auto flat = [&](__m128i channel) {
            __m128i product = _mm_mullo_epi16(_mm_and_si128(channel, low_byte), alpha);
            __m128i quotient = _mm_srli_epi32(_mm_mulhi_epu16(product, div255), 7);
            return _mm_cvtepi32_ps(_mm_add_epi32(quotient, white));
        };
        __m128 r = flat(px), g = flat(_mm_srli_epi32(px, 8)), b = flat(_mm_srli_epi32(px, 16));
        __m128 vy, vcb, vcr;
        to_ycbcr(r, g, b, vy, vcb, vcr);
        _mm_storeu_ps(y + i, vy);
        _mm_storeu_ps(cb + i, vcb);
        _mm_storeu_ps(cr + i, vcr);
    }
#else
    for (int i = 0; i < 8; ++i, rgba += 4) {
        unsigned alpha = rgba[3];
        float r = static_cast<float>(rgba[0] * alpha / 255 + 255 - alpha);
        float g = static_cast<float>(rgba[1] * alpha / 255 + 255 - alpha);
        float b = static_cast<float>(rgba[2] * alpha / 255 + 255 - alpha);
        to_ycbcr(r, g, b, y[i], cb[i], cr[i]);
    }
#endif
}

// The 2x2 averages of a 16x16 chroma area into one 8x8 block.
void subsample(const float *area, float *block) {
#ifdef PIXTRIM_JPEG_SSE2
    const __m128 quarter = _mm_set1_ps(0.25f);
    for (int yy = 0; yy < 8; ++yy) {
        const float *top = area + yy * 32, *bottom = top + 16;
        for (int xx = 0; xx < 8; xx += 4) {
            __m128 t0 = _mm_loadu_ps(top + xx * 2), t1 = _mm_loadu_ps(top + xx * 2 + 4);
            __m128 b0 = _mm_loadu_ps(bottom + xx * 2), b1 = _mm_loadu_ps(bottom + xx * 2 + 4);
            __m128 sum = _mm_add_ps(_mm_shuffle_ps(t0, t1, _MM_SHUFFLE(2, 0, 2, 0)),
                                    _mm_shuffle_ps(t0, t1, _MM_SHUFFLE(3, 1, 3, 1)));
            sum = _mm_add_ps(sum, _mm_shuffle_ps(b0, b1, _MM_SHUFFLE(2, 0, 2, 0)));
            sum = _mm_add_ps(sum, _mm_shuffle_ps(b0, b1, _MM_SHUFFLE(3, 1, 3, 1)));
            _mm_storeu_ps(block + yy * 8 + xx, _mm_mul_ps(sum, quarter));
        }
    }
#else
    for (int yy = 0, pos = 0; yy < 8; ++yy)
        for (int xx = 0; xx < 8; ++xx, ++pos) {
            int j = yy * 32 + xx * 2;
            block[pos] = (area[j] + area[j + 1] + area[j + 16] + area[j + 17]) * 0.25f;
        }
#endif
}

// Blocks per MCU and MCUs per row and column for a picture and chroma mode.
struct mcu_layout {
    int side;  // pixels
    size_t per_mcu, across, down;
};

mcu_layout layout_of(const rgba_image *image, bool subsampled) {
    mcu_layout l;
    l.side = subsampled ? 16 : 8;
    l.per_mcu = subsampled ? 6 : 3;
    l.across = (static_cast<size_t>(image->width) + l.side - 1) / l.side;
    l.down = (static_cast<size_t>(image->height) + l.side - 1) / l.side;
    return l;
}

// Eight pixels of one picture row from column x on; past the right edge the
// last pixel repeats (copied into spare).
const uint8_t *pixels8(const uint8_t *row, int32_t width, int32_t x, uint8_t *spare) {
    if (x + 8 <= width) return row + static_cast<size_t>(x) * 4;
    for (int i = 0; i < 8; ++i) {
        int32_t col = x + i < width ? x + i : width - 1;
        memcpy(spare + i * 4, row + static_cast<size_t>(col) * 4, 4);
    }
    return spare;
}

// Converts and transforms one row of MCUs into blocks in scan order; rows
// past the bottom edge repeat the last picture row.
void transform_mcu_row(const rgba_image *image, const mcu_layout &l, size_t mcu_row,
                       float *blocks) {
    uint8_t spare[32];
    size_t stride = static_cast<size_t>(image->width) * 4;
    int32_t top = static_cast<int32_t>(mcu_row) * l.side;
    for (size_t m = 0; m < l.across; ++m, blocks += l.per_mcu * kBlockFloats) {
        int32_t left = static_cast<int32_t>(m) * l.side;
        if (l.side == 16) {
            float cb[256], cr[256];
            for (int r = 0; r < 16; ++r) {
                int32_t y = top + r < image->height ? top + r : image->height - 1;
                const uint8_t *row = image->pixels + static_cast<size_t>(y) * stride;
                for (int half = 0; half < 2; ++half) {
                    float *luma = blocks + ((r / 8) * 2 + half) * kBlockFloats + (r % 8) * 8;
                    convert8(pixels8(row, image->width, left + half * 8, spare), luma,
                             cb + r * 16 + half * 8, cr + r * 16 + half * 8);
                }
            }
            subsample(cb, blocks + 4 * kBlockFloats);
            subsample(cr, blocks + 5 * kBlockFloats);
        } else {
            for (int r = 0; r < 8; ++r) {
                int32_t y = top + r < image->height ? top + r : image->height - 1;
                const uint8_t *row = image->pixels + static_cast<size_t>(y) * stride;
                convert8(pixels8(row, image->width, left, spare), blocks + r * 8,
                         blocks + kBlockFloats + r * 8, blocks + 2 * kBlockFloats + r * 8);
            }
        }
        for (size_t b = 0; b < l.per_mcu; ++b) dct_block(blocks + b * kBlockFloats);
    }
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
    if (!valid_picture(image)) return JPEG_BAD_SIZE;
    mcu_layout l = layout_of(image, subsample);
    size_t count = l.across * l.down * l.per_mcu;
    float *blocks = static_cast<float *>(malloc(count * kBlockFloats * sizeof(float)));
    if (!blocks) return JPEG_NO_MEMORY;
    size_t row_floats = l.across * l.per_mcu * kBlockFloats;
    for (size_t row = 0; row < l.down; ++row)
        transform_mcu_row(image, l, row, blocks + row * row_floats);
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
                                    int quality) {
    writer_setup setup;
    if (!open_writer(file, &setup)) return JPEG_NO_MEMORY;
    quality_tables t;
    make_quality_tables(quality, &t);
    put_headers(&setup.writer, t, coefficients->width, coefficients->height);
    int dc[3] = {0, 0, 0};
    code_blocks(&setup.writer, t, coefficients->blocks, coefficients->block_count, dc);
    return close_writer(&setup.writer);
}

jpeg_result jpeg_encode_file(FILE *file, const rgba_image *image, int quality) {
    if (!valid_picture(image)) return JPEG_BAD_SIZE;
    quality_tables t;
    make_quality_tables(quality, &t);
    mcu_layout l = layout_of(image, t.subsample);
    size_t row_blocks = l.across * l.per_mcu;
    float_block row(static_cast<float *>(malloc(row_blocks * kBlockFloats * sizeof(float))), free);
    writer_setup setup;
    if (!row || !open_writer(file, &setup)) return JPEG_NO_MEMORY;
    put_headers(&setup.writer, t, image->width, image->height);
    int dc[3] = {0, 0, 0};
    for (size_t r = 0; r < l.down; ++r) {
        transform_mcu_row(image, l, r, row.get());
        code_blocks(&setup.writer, t, row.get(), row_blocks, dc);
    }
    return close_writer(&setup.writer);
}
