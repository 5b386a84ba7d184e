// Our zlib compressor: the PNG encoder's, and plugged into stb_image_write.
#ifndef PIXTRIM_DEFLATE_H
#define PIXTRIM_DEFLATE_H

#include <cstddef>
#include <cstdint>

// A growable malloc block and how much of it holds data.
struct mem_sink {
    uint8_t *data;
    uint64_t size;
    uint64_t capacity;
};

// The data to compress, handed out in order as the compressor needs it, so
// it never has to exist as a whole.
struct byte_source {
    void (*read)(void *context, uint8_t *to, size_t count);  // the next count bytes
    void (*rewind)(void *context);                           // start over from the first
    void *context;
    uint32_t length;
};

// stb keeps 2 * level entries per hash bucket; beyond this our bucket table
// (16384 * 2 * level positions) would grow past 8 MiB for no use here.
constexpr int kMaxZlibLevel = 64;

// Free bytes left after a stream appended by zlib_append: room for what a
// container puts after it.
constexpr size_t kZlibSpareRoom = 16;

// The instruction sets the compressor is built for. Every path writes the
// same bytes; zlib_append takes the fastest the processor has.
enum zlib_path { ZLIB_SCALAR, ZLIB_SSE2, ZLIB_AVX2 };

// Makes zlib_append take this path from now on (tests compare the paths);
// false, changing nothing, when this build or processor lacks it.
bool zlib_use_path(zlib_path path);

// The path zlib_append takes.
zlib_path zlib_current_path();

// The compressor's working memory: its hash buckets and sliding window. A
// caller that compresses several streams keeps one for all of them, since
// fresh blocks would be faulted in anew for every stream. Starts zeroed;
// zlib_release frees it.
struct zlib_scratch {
    uint8_t *entries;
    uint8_t *counts;
    uint8_t *window;
    size_t entries_bytes;
};

void zlib_release(zlib_scratch *scratch);

// Appends to out exactly the zlib stream stb_image_write's own compressor
// writes for the source's data and level (same hash buckets, match search,
// lazy matching, fixed-Huffman block and stored fallback), only faster, so
// every PNG keeps its bytes. Levels below 5 act as 5, like stb's. A stream
// that would take out past max_size bytes is not finished: the compressor
// stops as soon as that is certain and returns false, as it does when
// memory runs out or the level is above kMaxZlibLevel. Either way the block
// stays the caller's to release. The working memory comes from scratch,
// which grows to what the level needs and stays the caller's too.
bool zlib_append(const byte_source &source, int level, uint64_t max_size, mem_sink *out,
                 zlib_scratch *scratch);

// zlib_append over a buffer, in the form of stb's STBIW_ZLIB_COMPRESS hook:
// a malloc block (stb releases it with free) and its length in *out_len, or
// null when memory runs out or the level is refused.
unsigned char *zlib_compress(unsigned char *data, int data_len, int *out_len, int quality);

#endif
