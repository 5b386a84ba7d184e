// The transform and the quantiser built for processors with AVX2: the same
// operations on eight lanes instead of four, so the same bits. jpeg.cpp
// calls them only where the processor has AVX2.
#include "codec/jpeg/jpeg_transform.h"

void jpeg_transform_row_avx2(const rgba_image *image, bool subsample, size_t mcu_row,
                             float *blocks) {
    transform_mcu_row(image, layout_of(image, subsample), mcu_row, blocks);
}

uint64_t jpeg_quantise_avx2(const float *block, const float *scale, int16_t *natural) {
    return quantise_block(block, scale, natural);
}
