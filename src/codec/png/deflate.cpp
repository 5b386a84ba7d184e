// A zlib compressor that reproduces stb_image_write's output bit for bit.
// stb keeps a growing array per hash bucket, compares matches a byte at a
// time and pushes every output byte through a growable buffer; we keep the
// same buckets in one preallocated table with the first bytes of every
// position beside it, settle a bucket's candidates a few at a time with
// vector compares, reuse the lazy look's search, and write bits through a
// 64-bit accumulator (deflate_block.h). stb needs its whole input in memory;
// we read ours through a sliding window, since a match never reaches further
// back than 32 KiB.
#include "codec/png/deflate.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codec/png/deflate_block.h"

namespace {

constexpr int kMinLevel = 5;
constexpr uint32_t kStoredBlockMax = 32767;
constexpr uint32_t kAdlerModulus = 65521;
constexpr uint32_t kAdlerChunk = 5552;  // largest run whose sums cannot overflow 32 bits

zlib_path fastest_path() {
#ifdef PIXTRIM_ZLIB_SSE2
#ifdef PIXTRIM_ZLIB_AVX2
    __builtin_cpu_init();  // this may run before the library's constructors
    if (__builtin_cpu_supports("avx2")) return ZLIB_AVX2;
#endif
    return ZLIB_SSE2;
#else
    return ZLIB_SCALAR;
#endif
}

zlib_path s_path = fastest_path();

void add_to_adler_scalar(adler_sum *sum, const uint8_t *data, size_t n) {
    for (size_t k = 0; k < n; ++k) {
        sum->a += data[k];
        sum->b += sum->a;
    }
}

#ifdef PIXTRIM_ZLIB_SSE2
// 16 bytes a step: b grows by 16 times a plus the bytes weighted 16 down to
// 1, a by their sum. n is at most kAdlerChunk, so no sum overflows.
void add_to_adler_sse2(adler_sum *sum, const uint8_t *data, size_t n) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i weights_high = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
    const __m128i weights_low = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
    __m128i bytes_sum = zero, weighted = zero, earlier_a = zero;
    size_t blocks = n / 16;
    for (size_t k = 0; k < blocks; ++k) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + 16 * k));
        earlier_a = _mm_add_epi32(earlier_a, bytes_sum);
        bytes_sum = _mm_add_epi32(bytes_sum, _mm_sad_epu8(v, zero));
        __m128i high = _mm_madd_epi16(_mm_unpacklo_epi8(v, zero), weights_high);
        __m128i low = _mm_madd_epi16(_mm_unpackhi_epi8(v, zero), weights_low);
        weighted = _mm_add_epi32(weighted, _mm_add_epi32(high, low));
    }
    auto total = [](__m128i v) {
        v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
        v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
        return static_cast<uint32_t>(_mm_cvtsi128_si32(v));
    };
    uint32_t added = total(bytes_sum);
    sum->b += static_cast<uint32_t>(16 * blocks) * sum->a + 16 * total(earlier_a) + total(weighted);
    sum->a += added;
    add_to_adler_scalar(sum, data + 16 * blocks, n - 16 * blocks);
}
#endif

void add_to_adler(adler_sum *sum, const uint8_t *data, size_t n) {
    while (n) {
        size_t chunk = n < kAdlerChunk ? n : kAdlerChunk;
#ifdef PIXTRIM_ZLIB_SSE2
        if (s_path != ZLIB_SCALAR) add_to_adler_sse2(sum, data, chunk);
        else add_to_adler_scalar(sum, data, chunk);
#else
        add_to_adler_scalar(sum, data, chunk);
#endif
        data += chunk;
        n -= chunk;
        sum->a %= kAdlerModulus;
        sum->b %= kAdlerModulus;
    }
}

bool compress_fixed(const byte_source &source, sliding_window *window, bucket_table *table,
                    zlib_out *out) {
    switch (s_path) {
#ifdef PIXTRIM_ZLIB_AVX2
    case ZLIB_AVX2: return zlib_compress_fixed_avx2(source, window, table, out);
#endif
#ifdef PIXTRIM_ZLIB_SSE2
    case ZLIB_SSE2: return compress_fixed<ZLIB_SSE2>(source, window, table, out);
#endif
    default: return compress_fixed<ZLIB_SCALAR>(source, window, table, out);
    }
}

// Uncompressed blocks after the two header bytes at start, as stb falls
// back to; the data is read again from its first byte.
bool rewrite_stored(const byte_source &source, uint64_t start, adler_sum *adler, zlib_out *out) {
    uint32_t n = source.length;
    uint32_t blocks = (n + kStoredBlockMax - 1) / kStoredBlockMax;
    out->size = start + 2;
    if (!zlib_reserve(out, uint64_t{n} + 5 * uint64_t{blocks} + kTokenRoom)) return false;
    source.rewind(source.context);
    *adler = {1, 0};
    for (uint32_t j = 0; j < n;) {
        uint32_t len = n - j < kStoredBlockMax ? n - j : kStoredBlockMax;
        uint8_t *o = out->data + out->size;
        o[0] = j + len == n;  // BFINAL on the last block, BTYPE = 0
        o[1] = static_cast<uint8_t>(len);
        o[2] = static_cast<uint8_t>(len >> 8);
        o[3] = static_cast<uint8_t>(~len);
        o[4] = static_cast<uint8_t>(~len >> 8);
        source.read(source.context, o + 5, len);
        add_to_adler(adler, o + 5, len);
        out->size += 5 + len;
        j += len;
    }
    return true;
}

// The whole stream: the header, the fixed block or stored blocks when those
// come out smaller, then the Adler-32 of the data; false when it cannot end
// within max_size.
bool compress_stream(const byte_source &source, bucket_table *table, sliding_window *window,
                     uint64_t max_size, zlib_out *out) {
    const uint64_t start = out->size;
    const uint32_t n = source.length;
    const uint64_t stored_end =
        start + uint64_t{n} + 2 + (uint64_t{n} + kStoredBlockMax - 1) / kStoredBlockMax * 5;
    // Past stored_end the stored blocks replace the fixed block; past
    // max_size - 4 the fixed block leaves no room for the checksum.
    if (max_size < start + 2 + 4) return false;
    uint64_t stop_after = stored_end < max_size - 4 ? stored_end : max_size - 4;
    out->most = stop_after + kTokenRoom;
    if (!zlib_reserve(out, kTokenRoom)) return false;
    out->data[out->size++] = 0x78;  // deflate, 32 KiB window
    out->data[out->size++] = 0x5e;  // FLEVEL 1 and the header check bits

    if (!compress_fixed(source, window, table, out)) return false;
    out->most = (stored_end + 4 < max_size ? stored_end + 4 : max_size) + kZlibSpareRoom;
    adler_sum adler = window->adler;
    if (out->size > stored_end) {
        if (stored_end + 4 > max_size || !rewrite_stored(source, start, &adler, out)) return false;
    } else if (out->size + 4 > max_size) {
        return false;
    }
    if (!zlib_reserve(out, 4 + kZlibSpareRoom)) return false;
    uint32_t checksum = (adler.b << 16) | adler.a;
    uint8_t *tail = out->data + out->size;
    tail[0] = static_cast<uint8_t>(checksum >> 24);
    tail[1] = static_cast<uint8_t>(checksum >> 16);
    tail[2] = static_cast<uint8_t>(checksum >> 8);
    tail[3] = static_cast<uint8_t>(checksum);
    out->size += 4;
    return true;
}

struct memory_source {
    const uint8_t *data;
    size_t offset;
};

void read_memory(void *context, uint8_t *to, size_t count) {
    memory_source *memory = static_cast<memory_source *>(context);
    memcpy(to, memory->data + memory->offset, count);
    memory->offset += count;
}

void rewind_memory(void *context) { static_cast<memory_source *>(context)->offset = 0; }

}  // namespace

bool zlib_reserve(zlib_out *out, uint64_t room) {
    out->at_most = out->size + room > out->most;
    if (out->at_most) return false;
    if (out->capacity - out->size >= room) return true;
    uint64_t capacity = out->capacity * 2 > out->first_capacity ? out->capacity * 2
                                                                : out->first_capacity;
    if (capacity < out->size + room) capacity = out->size + room;
    if (capacity > out->most) capacity = out->most;
    void *grown = realloc(out->data, capacity);
    if (!grown) return false;
    out->data = static_cast<uint8_t *>(grown);
    out->capacity = capacity;
    return true;
}

void zlib_read_ahead(sliding_window *window, const byte_source &source, uint32_t i) {
    if (window->end - i >= kLookahead || window->end == source.length) return;
    uint32_t keep_from = i > kWindow ? i - kWindow : 0;
    if (keep_from > window->base) {
        memmove(window->bytes, window->bytes + (keep_from - window->base), window->end - keep_from);
        window->base = keep_from;
    }
    uint32_t room = kWindowBytes - (window->end - window->base);
    uint32_t count = source.length - window->end < room ? source.length - window->end : room;
    uint8_t *to = window->bytes + (window->end - window->base);
    source.read(source.context, to, count);
    add_to_adler(&window->adler, to, count);
    window->end += count;
    if (window->end == source.length) memset(to + count, 0, kWindowPadding);
}

bool zlib_use_path(zlib_path path) {
    if (path > fastest_path()) return false;
    s_path = path;
    return true;
}

zlib_path zlib_current_path() { return s_path; }

void zlib_release(zlib_scratch *scratch) {
    free(scratch->entries);
    free(scratch->counts);
    free(scratch->window);
    *scratch = {nullptr, nullptr, nullptr, 0};
}

bool zlib_append(const byte_source &source, int level, uint64_t max_size, mem_sink *out,
                 zlib_scratch *scratch) {
    if (level < kMinLevel) level = kMinLevel;
    if (level > kMaxZlibLevel) return false;
    uint32_t capacity = 2 * static_cast<uint32_t>(level);
    uint32_t stride = (capacity + kSlotGroup - 1) / kSlotGroup * kSlotGroup;
    // The entries need no clearing: the search reads only slots this stream
    // wrote, as the counts (cleared here) and the group clearing ensure.
    size_t entries_bytes = size_t{kHashBuckets} * stride * kBucketSlotBytes;
    if (scratch->entries_bytes < entries_bytes) {
        free(scratch->entries);
        scratch->entries = static_cast<uint8_t *>(malloc(entries_bytes));
        scratch->entries_bytes = scratch->entries ? entries_bytes : 0;
    }
    if (!scratch->counts) scratch->counts = static_cast<uint8_t *>(malloc(kHashBuckets));
    if (!scratch->window)
        scratch->window = static_cast<uint8_t *>(malloc(kWindowBytes + kWindowPadding));
    if (!scratch->entries || !scratch->counts || !scratch->window) return false;
    memset(scratch->counts, 0, kHashBuckets);
    bucket_table table = {scratch->entries, scratch->counts, capacity, stride};
    sliding_window window = {scratch->window, 0, 0, {1, 0}};
    source.rewind(source.context);

    // A quarter of the input holds most PNG rows; the block doubles when not.
    zlib_out zlib = {out->data, out->size, out->capacity, out->size + source.length / 4 + 4096,
                     0, false, 0, 0};
    bool written = compress_stream(source, &table, &window, max_size, &zlib);
    out->data = zlib.data;
    out->size = zlib.size;
    out->capacity = zlib.capacity;
    return written;
}

unsigned char *zlib_compress(unsigned char *data, int data_len, int *out_len, int quality) {
    memory_source memory = {data, 0};
    byte_source source = {read_memory, rewind_memory, &memory,
                          data_len > 0 ? static_cast<uint32_t>(data_len) : 0};
    mem_sink out = {nullptr, 0, 0};
    zlib_scratch scratch = {nullptr, nullptr, nullptr, 0};
    bool written = zlib_append(source, quality, UINT64_MAX, &out, &scratch);
    zlib_release(&scratch);
    if (!written) {
        free(out.data);
        return nullptr;
    }
    // stb copies the stream into its PNG next; the doubling slack need not
    // be held meanwhile.
    if (void *fitted = realloc(out.data, out.size)) out.data = static_cast<uint8_t *>(fitted);
    *out_len = static_cast<int>(out.size);
    return out.data;
}
