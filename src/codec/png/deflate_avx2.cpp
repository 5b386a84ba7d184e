// The fixed-Huffman block built for processors with AVX2: four candidates a
// compare and 32 bytes a step along a match, so the same bytes. deflate.cpp
// calls it only where the processor has AVX2.
#include "codec/png/deflate_block.h"

bool zlib_compress_fixed_avx2(const byte_source &source, sliding_window *window,
                              bucket_table *table, zlib_out *out) {
    return compress_fixed<ZLIB_AVX2>(source, window, table, out);
}
