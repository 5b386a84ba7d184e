// The transform built for processors with AVX2: the same operations on
// eight lanes instead of four, so the same bits. jpeg.cpp calls it only
// where the processor has AVX2.
#include "codec/jpeg_transform.h"

void jpeg_transform_row_avx2(const rgba_image *image, bool subsample, size_t mcu_row,
                             float *blocks) {
    transform_mcu_row(image, layout_of(image, subsample), mcu_row, blocks);
}
