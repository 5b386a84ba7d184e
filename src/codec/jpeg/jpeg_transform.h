// The vector arithmetic of the JPEG encoder, as stb computes it: colour
// conversion with the flattening onto white, chroma averaging and the DCT,
// which do not depend on the quality, and the quantiser. Included by
// jpeg.cpp and again by jpeg_avx2.cpp, which is built for processors with
// AVX2; everything here is local to the including file.
#ifndef PIXTRIM_JPEG_TRANSFORM_H
#define PIXTRIM_JPEG_TRANSFORM_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/load.h"

#if defined(__SSE2__) && !defined(PIXTRIM_JPEG_SCALAR)
#define PIXTRIM_JPEG_SSE2 1
#include <emmintrin.h>
#endif
#if defined(PIXTRIM_JPEG_SSE2) && defined(__AVX2__)
#include <immintrin.h>
#endif

#ifdef PIXTRIM_JPEG_AVX2
// transform_mcu_row as jpeg_avx2.cpp builds it; call only where the
// processor has AVX2.
void jpeg_transform_row_avx2(const rgba_image *image, bool subsample, size_t mcu_row,
                             float *blocks);
// quantise_block as jpeg_avx2.cpp builds it, with the same condition.
uint64_t jpeg_quantise_avx2(const float *block, const float *scale, int16_t *natural);
#endif

namespace {

constexpr int kBlockFloats = 64;

// The AAN forward DCT of eight values, as stb computes it; V is float, or a
// vector of four or eight floats holding as many independent rows or columns.
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

#if defined(PIXTRIM_JPEG_SSE2) && defined(__AVX2__)
// Rows become columns: one AVX vector per row of the 8x8 block.
inline void transpose8(__m256 *v) {
    __m256 t[8], u[8];
    for (int i = 0; i < 8; i += 2) {
        t[i] = _mm256_unpacklo_ps(v[i], v[i + 1]);
        t[i + 1] = _mm256_unpackhi_ps(v[i], v[i + 1]);
    }
    for (int i = 0; i < 8; i += 4) {
        u[i] = _mm256_shuffle_ps(t[i], t[i + 2], 0x44);
        u[i + 1] = _mm256_shuffle_ps(t[i], t[i + 2], 0xEE);
        u[i + 2] = _mm256_shuffle_ps(t[i + 1], t[i + 3], 0x44);
        u[i + 3] = _mm256_shuffle_ps(t[i + 1], t[i + 3], 0xEE);
    }
    for (int i = 0; i < 4; ++i) {
        v[i] = _mm256_permute2f128_ps(u[i], u[i + 4], 0x20);
        v[i + 4] = _mm256_permute2f128_ps(u[i], u[i + 4], 0x31);
    }
}
#endif

// Rows first, then columns, in place.
inline void dct_block(float *b) {
#if defined(PIXTRIM_JPEG_SSE2) && defined(__AVX2__)
    // Transposed, the eight lanes of a vector are the eight rows, so one
    // dct8 transforms the rows; transposed back, it transforms the columns.
    __m256 v[8];
    for (int r = 0; r < 8; ++r) v[r] = _mm256_loadu_ps(b + r * 8);
    transpose8(v);
    dct8(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]);
    transpose8(v);
    dct8(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]);
    for (int r = 0; r < 8; ++r) _mm256_storeu_ps(b + r * 8, v[r]);
#elif defined(PIXTRIM_JPEG_SSE2)
    // Four rows at a time: transposed, the lanes of a vector are the rows,
    // so one dct8 transforms four rows. Then four columns at a time, whose
    // vectors are the rows' halves as they lie.
    for (int top = 0; top < 64; top += 32) {
        __m128 left[4], right[4];
        for (int r = 0; r < 4; ++r) {
            left[r] = _mm_loadu_ps(b + top + r * 8);
            right[r] = _mm_loadu_ps(b + top + r * 8 + 4);
        }
        _MM_TRANSPOSE4_PS(left[0], left[1], left[2], left[3]);
        _MM_TRANSPOSE4_PS(right[0], right[1], right[2], right[3]);
        dct8(left[0], left[1], left[2], left[3], right[0], right[1], right[2], right[3]);
        _MM_TRANSPOSE4_PS(left[0], left[1], left[2], left[3]);
        _MM_TRANSPOSE4_PS(right[0], right[1], right[2], right[3]);
        for (int r = 0; r < 4; ++r) {
            _mm_storeu_ps(b + top + r * 8, left[r]);
            _mm_storeu_ps(b + top + r * 8 + 4, right[r]);
        }
    }
    for (int c = 0; c < 8; c += 4) {
        __m128 v[8];
        for (int r = 0; r < 8; ++r) v[r] = _mm_loadu_ps(b + r * 8 + c);
        dct8(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]);
        for (int r = 0; r < 8; ++r) _mm_storeu_ps(b + r * 8 + c, v[r]);
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
inline void convert8(const uint8_t *rgba, float *y, float *cb, float *cr) {
#if defined(PIXTRIM_JPEG_SSE2) && defined(__AVX2__)
    const __m256i low_byte = _mm256_set1_epi32(0xFF);
    __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(rgba));
    __m256i rgb[3] = {_mm256_and_si256(px, low_byte),
                      _mm256_and_si256(_mm256_srli_epi32(px, 8), low_byte),
                      _mm256_and_si256(_mm256_srli_epi32(px, 16), low_byte)};
    __m256i opaque = _mm256_cmpeq_epi32(_mm256_or_si256(px, _mm256_set1_epi32(0x00FFFFFF)),
                                        _mm256_set1_epi32(-1));
    if (_mm256_movemask_epi8(opaque) != -1) {
        __m256i alpha = _mm256_srli_epi32(px, 24);
        __m256i white = _mm256_sub_epi32(low_byte, alpha);
        // As below: c * A in the low 16 bits, (x * 0x8081) >> 23 is x / 255.
        for (__m256i &channel : rgb) {
            __m256i product = _mm256_mullo_epi16(channel, alpha);
            __m256i quotient =
                _mm256_srli_epi32(_mm256_mulhi_epu16(product, _mm256_set1_epi32(0x8081)), 7);
            channel = _mm256_add_epi32(quotient, white);
        }
    }
    __m256 vy, vcb, vcr;
    to_ycbcr(_mm256_cvtepi32_ps(rgb[0]), _mm256_cvtepi32_ps(rgb[1]), _mm256_cvtepi32_ps(rgb[2]),
             vy, vcb, vcr);
    _mm256_storeu_ps(y, vy);
    _mm256_storeu_ps(cb, vcb);
    _mm256_storeu_ps(cr, vcr);
#elif defined(PIXTRIM_JPEG_SSE2)
    const __m128i low_byte = _mm_set1_epi32(0xFF), div255 = _mm_set1_epi32(0x8081);
    const __m128i rgb_bits = _mm_set1_epi32(0x00FFFFFF), all_bits = _mm_set1_epi32(-1);
    for (int i = 0; i < 8; i += 4) {
        __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i *>(rgba + i * 4));
        __m128i rgb[3] = {_mm_and_si128(px, low_byte),
                          _mm_and_si128(_mm_srli_epi32(px, 8), low_byte),
                          _mm_and_si128(_mm_srli_epi32(px, 16), low_byte)};
        __m128i opaque = _mm_cmpeq_epi32(_mm_or_si128(px, rgb_bits), all_bits);
        if (_mm_movemask_epi8(opaque) != 0xFFFF) {
            __m128i alpha = _mm_srli_epi32(px, 24);
            __m128i white = _mm_sub_epi32(low_byte, alpha);
            // c * A fits the low 16 bits of each lane; (x * 0x8081) >> 23 is
            // x / 255 for every such x.
            for (__m128i &channel : rgb) {
                __m128i product = _mm_mullo_epi16(channel, alpha);
                __m128i quotient = _mm_srli_epi32(_mm_mulhi_epu16(product, div255), 7);
                channel = _mm_add_epi32(quotient, white);
            }
        }
        __m128 r = _mm_cvtepi32_ps(rgb[0]), g = _mm_cvtepi32_ps(rgb[1]),
               b = _mm_cvtepi32_ps(rgb[2]);
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
inline void subsample(const float *area, float *block) {
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

// Quantises one transformed block: each coefficient times its scale,
// rounded half away from zero and cut to an integer as stb does, into
// natural order. Returns the mask of the nonzero ones by natural position.
inline uint64_t quantise_block(const float *block, const float *scale, int16_t *natural) {
#ifdef PIXTRIM_JPEG_SSE2
    // v + copysign(0.5, v) is stb's v < 0 ? v - 0.5 : v + 0.5 for every v
    // but -0, which both cut to 0.
    uint64_t zeros = 0;
    for (int k = 0; k < 64; k += 16) {
#ifdef __AVX2__
        const __m256 sign = _mm256_set1_ps(-0.0f), half = _mm256_set1_ps(0.5f);
        __m256 v0 = _mm256_mul_ps(_mm256_loadu_ps(block + k), _mm256_loadu_ps(scale + k));
        __m256 v1 =
            _mm256_mul_ps(_mm256_loadu_ps(block + k + 8), _mm256_loadu_ps(scale + k + 8));
        v0 = _mm256_add_ps(v0, _mm256_or_ps(_mm256_and_ps(v0, sign), half));
        v1 = _mm256_add_ps(v1, _mm256_or_ps(_mm256_and_ps(v1, sign), half));
        // The packing works within 128-bit halves; the permute restores the order.
        __m256i packed = _mm256_permute4x64_epi64(
            _mm256_packs_epi32(_mm256_cvttps_epi32(v0), _mm256_cvttps_epi32(v1)), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(natural + k), packed);
        __m256i zero = _mm256_cmpeq_epi16(packed, _mm256_setzero_si256());
        __m128i zero_bytes =
            _mm_packs_epi16(_mm256_castsi256_si128(zero), _mm256_extracti128_si256(zero, 1));
#else
        const __m128 sign = _mm_set1_ps(-0.0f), half = _mm_set1_ps(0.5f);
        __m128i packed[2];
        for (int h = 0; h < 2; ++h) {
            const float *b = block + k + h * 8, *q = scale + k + h * 8;
            __m128 v0 = _mm_mul_ps(_mm_loadu_ps(b), _mm_loadu_ps(q));
            __m128 v1 = _mm_mul_ps(_mm_loadu_ps(b + 4), _mm_loadu_ps(q + 4));
            v0 = _mm_add_ps(v0, _mm_or_ps(_mm_and_ps(v0, sign), half));
            v1 = _mm_add_ps(v1, _mm_or_ps(_mm_and_ps(v1, sign), half));
            packed[h] = _mm_packs_epi32(_mm_cvttps_epi32(v0), _mm_cvttps_epi32(v1));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(natural + k + h * 8), packed[h]);
        }
        __m128i zero_bytes = _mm_packs_epi16(_mm_cmpeq_epi16(packed[0], _mm_setzero_si128()),
                                             _mm_cmpeq_epi16(packed[1], _mm_setzero_si128()));
#endif
        zeros |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(zero_bytes))} << k;
    }
    return ~zeros;
#else
    uint64_t nonzero = 0;
    for (int j = 0; j < 64; ++j) {
        float v = block[j] * scale[j];
        int q = static_cast<int>(v < 0 ? v - 0.5f : v + 0.5f);
        natural[j] = static_cast<int16_t>(q);
        if (q) nonzero |= uint64_t{1} << j;
    }
    return nonzero;
#endif
}

}  // namespace

#endif
