// RGB rows packed from RGBA pixels for processors with AVX2: eight pixels a
// shuffle. png.cpp calls it only where the processor has AVX2.
#include <immintrin.h>

#include "codec/png/png.h"

size_t pack_rgb_avx2(const uint8_t *rgba, uint8_t *rgb, size_t width) {
    // Each 16-byte lane drops its four alpha bytes, then the two lanes'
    // twelve bytes are moved together.
    const __m256i drop_alpha =
        _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0, 1, 2, 4, 5, 6,
                         8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m256i join_lanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    size_t x = 0;
    // 32 bytes are stored for 24, so the loop stops 11 pixels short of the end.
    for (; x + 11 <= width; x += 8) {
        __m256i pixels = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(rgba + 4 * x));
        __m256i packed =
            _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(pixels, drop_alpha), join_lanes);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(rgb + 3 * x), packed);
    }
    return x;
}
