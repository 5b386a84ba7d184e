// A zlib compressor that reproduces stb_image_write's output bit for bit.
// stb keeps a growing array per hash bucket, compares matches a byte at a
// time and pushes every output byte through a growable buffer; we keep the
// same buckets in one preallocated table (one cache line each at level 8),
// settle most candidates with one 8-byte compare and no data-dependent
// branch, reuse the lazy look's search, and write bits through a 64-bit
// accumulator.
#include "codec/deflate.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

using byte_block = std::unique_ptr<uint8_t, decltype(&free)>;

// These fix which positions share a bucket and which matches count, so they
// must stay stb's numbers.
constexpr uint32_t kHashBuckets = 16384;
constexpr uint32_t kWindow = 32768;
constexpr uint32_t kMaxMatch = 258;
constexpr int kMinLevel = 5;
constexpr uint32_t kStoredBlockMax = 32767;
constexpr uint32_t kAdlerModulus = 65521;
constexpr uint32_t kAdlerChunk = 5552;  // largest run whose sums cannot overflow 32 bits

// Room kept free at the write position: one 8-byte store of the accumulator.
constexpr size_t kTokenRoom = 16;

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr bool kLittleEndian = false;
#else
constexpr bool kLittleEndian = true;
#endif

uint64_t load_le64(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return kLittleEndian ? v : __builtin_bswap64(v);
}

void store_le64(uint8_t *p, uint64_t v) {
    if (!kLittleEndian) v = __builtin_bswap64(v);
    memcpy(p, &v, 8);
}

// stb's bucket hash of the three bytes at p.
uint32_t stb_hash(const uint8_t *p) {
    uint32_t hash = p[0] + (p[1] << 8) + (p[2] << 16);
    hash ^= hash << 3;
    hash += hash >> 5;
    hash ^= hash << 4;
    hash += hash >> 17;
    hash ^= hash << 25;
    hash += hash >> 6;
    return hash & (kHashBuckets - 1);
}

// Number of equal leading bytes of a and b, at most limit; b + limit must
// stay inside the data (a lies before b).
uint32_t match_length(const uint8_t *a, const uint8_t *b, uint32_t limit) {
    uint32_t k = 0;
    for (; k + 8 <= limit; k += 8) {
        uint64_t diff = load_le64(a + k) ^ load_le64(b + k);
        if (diff) return k + static_cast<uint32_t>(__builtin_ctzll(diff) >> 3);
    }
    while (k < limit && a[k] == b[k]) ++k;
    return k;
}

// A code in deflate's bit order (reversed Huffman code, then extra bits),
// ready for the accumulator.
struct bit_code {
    uint32_t bits;
    uint8_t count;
};

constexpr uint32_t reversed(uint32_t code, int length) {
    uint32_t out = 0;
    for (int i = 0; i < length; ++i) out = (out << 1) | ((code >> i) & 1);
    return out;
}

// Fixed-Huffman literal/length code of a symbol 0-287.
constexpr bit_code fixed_symbol(int symbol) {
    if (symbol <= 143) return {reversed(0x30 + symbol, 8), 8};
    if (symbol <= 255) return {reversed(0x190 + symbol - 144, 9), 9};
    if (symbol <= 279) return {reversed(symbol - 256, 7), 7};
    return {reversed(0xc0 + symbol - 280, 8), 8};
}

constexpr uint16_t kLengthBase[] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                    31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258, 259};
constexpr uint8_t kLengthExtra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                    2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[] = {1,    2,    3,    4,    5,    7,     9,     13,    17,    25,   33,
                                  49,   65,   97,   129,  193,  257,   385,   513,   769,   1025, 1537,
                                  2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 32768};
constexpr uint8_t kDistExtra[] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                  6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

struct code_tables {
    bit_code literal[256];
    bit_code length[kMaxMatch + 1];  // symbol and extra bits of each match length 3-258
    bit_code dist_symbol[30];        // 5-bit code, count including the extra bits
    uint8_t dist_index[512];         // distance d: [d - 1] below 257, else [256 + ((d - 1) >> 7)]
};

constexpr int length_index(uint32_t length) {
    int j = 0;
    while (length > kLengthBase[j + 1] - 1u) ++j;
    return j;
}

constexpr uint8_t dist_index_of(uint32_t distance) {
    int j = 0;
    while (distance > kDistBase[j + 1] - 1u) ++j;
    return static_cast<uint8_t>(j);
}

constexpr code_tables make_tables() {
    code_tables t{};
    for (int c = 0; c < 256; ++c) t.literal[c] = fixed_symbol(c);
    for (uint32_t len = 3; len <= kMaxMatch; ++len) {
        int j = length_index(len);
        bit_code sym = fixed_symbol(257 + j);
        t.length[len] = {sym.bits | ((len - kLengthBase[j]) << sym.count),
                         static_cast<uint8_t>(sym.count + kLengthExtra[j])};
    }
    for (int j = 0; j < 30; ++j)
        t.dist_symbol[j] = {reversed(j, 5), static_cast<uint8_t>(5 + kDistExtra[j])};
    for (uint32_t v = 0; v < 256; ++v) t.dist_index[v] = dist_index_of(v + 1);
    for (uint32_t v = 2; v < 256; ++v) t.dist_index[256 + v] = dist_index_of((v << 7) + 1);
    return t;
}

constexpr code_tables kCodes = make_tables();
constexpr bit_code kEndOfBlock = fixed_symbol(256);

// Distance code and extra bits of a distance 1-32767.
bit_code distance_code(uint32_t distance) {
    uint32_t v = distance - 1;
    int j = kCodes.dist_index[v < 256 ? v : 256 + (v >> 7)];
    return {kCodes.dist_symbol[j].bits | ((distance - kDistBase[j]) << 5),
            kCodes.dist_symbol[j].count};
}

// The growing output block and the bits not yet stored in it.
struct zlib_out {
    uint8_t *data;
    size_t size;
    size_t capacity;
    uint64_t bits;
    unsigned count;  // below 8 between calls
};

bool reserve(zlib_out *out, size_t room) {
    if (out->capacity - out->size >= room) return true;
    size_t capacity = out->capacity;
    while (capacity - out->size < room) capacity *= 2;
    void *grown = realloc(out->data, capacity);
    if (!grown) return false;
    out->data = static_cast<uint8_t *>(grown);
    out->capacity = capacity;
    return true;
}

// Needs kTokenRoom free bytes; at most 31 bits at once.
inline void put_bits(zlib_out *out, uint32_t bits, unsigned count) {
    out->bits |= static_cast<uint64_t>(bits) << out->count;
    out->count += count;
    store_le64(out->data + out->size, out->bits);
    unsigned bytes = out->count >> 3;
    out->size += bytes;
    out->bits >>= bytes * 8;
    out->count &= 7;
}

// stb's hash buckets: up to 2 * level positions each, oldest first; a full
// bucket drops its older half before the next position goes in.
struct bucket_table {
    uint32_t *slots;  // kHashBuckets * capacity
    uint8_t *counts;
    uint32_t capacity;
};

uint32_t *bucket_slots(const bucket_table &table, uint32_t bucket) {
    return table.slots + static_cast<size_t>(bucket) * table.capacity;
}

// Longest match for data + i among the bucket's positions within the
// window; ties go to the nearest, as in stb. Returns the length (0 when
// under 3) and sets *match_pos.
uint32_t longest_match(const bucket_table &table, uint32_t bucket, const uint8_t *data,
                       uint32_t i, uint32_t limit, uint32_t *match_pos) {
    const uint32_t *slot = bucket_slots(table, bucket);
    int k = table.counts[bucket];
    // Length above position: the largest key is the longest match and, among
    // equals, the latest position, which is the nearest. Below 3 is no match.
    const uint64_t no_match = (uint64_t{3} << 32) - 1;
    uint64_t best = no_match;
    if (limit >= 8) {
        // One 8-byte compare settles most candidates without a data-dependent
        // branch; seven or more equal bytes go on to the long compare.
        const uint64_t current = load_le64(data + i);
        while (--k >= 0) {
            uint32_t p = slot[k];
            if (i - p >= kWindow) break;  // older entries lie further back still
            uint64_t diff = load_le64(data + p) ^ current;
            uint64_t len = static_cast<uint64_t>(__builtin_ctzll(diff | (uint64_t{1} << 63)) >> 3);
            if (__builtin_expect(len == 7, 0)) {
                len += match_length(data + p + 7, data + i + 7, limit - 7);
                if (len == limit) {  // nothing nearer can be longer
                    best = (len << 32) | p;
                    break;
                }
            }
            uint64_t key = (len << 32) | p;
            best = key > best ? key : best;
        }
    } else {  // the last few positions, too near the end for 8-byte loads
        while (--k >= 0) {
            uint32_t p = slot[k];
            if (i - p >= kWindow) break;
            uint64_t key = (uint64_t{match_length(data + p, data + i, limit)} << 32) | p;
            best = key > best ? key : best;
        }
    }
    if (best == no_match) return 0;
    *match_pos = static_cast<uint32_t>(best);
    return static_cast<uint32_t>(best >> 32);
}

void insert(bucket_table *table, uint32_t bucket, uint32_t position) {
    uint32_t *slot = bucket_slots(*table, bucket);
    uint8_t &count = table->counts[bucket];
    if (count == table->capacity) {
        uint32_t keep = table->capacity / 2;
        memmove(slot, slot + keep, keep * sizeof *slot);
        count = static_cast<uint8_t>(keep);
    }
    slot[count++] = position;
}

// stb's single fixed-Huffman block; false when the output cannot grow.
bool compress_fixed(const uint8_t *data, uint32_t n, bucket_table *table, zlib_out *out) {
    put_bits(out, 1 | (1 << 1), 3);  // BFINAL = 1, BTYPE = 1 (fixed Huffman)
    uint32_t i = 0;
    uint32_t bucket = n > 3 ? stb_hash(data) : 0;
    // The lazy look one byte on finds the whole longest match there; when it
    // wins, the next position starts from it instead of searching again.
    uint32_t carried_len = 0, carried_pos = 0;
    while (n > 3 && i < n - 3) {
        if (!reserve(out, kTokenRoom)) return false;
        uint32_t next_bucket = stb_hash(data + i + 1);
        __builtin_prefetch(bucket_slots(*table, next_bucket));
        uint32_t limit = n - i < kMaxMatch ? n - i : kMaxMatch;
        uint32_t match_pos = carried_pos;
        uint32_t len = carried_len ? carried_len
                                   : longest_match(*table, bucket, data, i, limit, &match_pos);
        carried_len = 0;
        insert(table, bucket, i);
        // Lazy matching: a longer match one byte on makes this byte a literal.
        uint32_t next_limit = n - i - 1 < kMaxMatch ? n - i - 1 : kMaxMatch;
        if (len && len < next_limit) {
            uint32_t next_len =
                longest_match(*table, next_bucket, data, i + 1, next_limit, &carried_pos);
            if (next_len > len) {
                carried_len = next_len;
                len = 0;
            }
        }
        if (len) {
            bit_code length = kCodes.length[len];
            bit_code distance = distance_code(i - match_pos);
            put_bits(out, length.bits | (distance.bits << length.count),
                     length.count + distance.count);
            i += len;
            if (i < n - 3) bucket = stb_hash(data + i);
        } else {
            put_bits(out, kCodes.literal[data[i]].bits, kCodes.literal[data[i]].count);
            ++i;
            bucket = next_bucket;
        }
    }
    for (; i < n; ++i) {
        if (!reserve(out, kTokenRoom)) return false;
        put_bits(out, kCodes.literal[data[i]].bits, kCodes.literal[data[i]].count);
    }
    if (!reserve(out, kTokenRoom)) return false;
    put_bits(out, kEndOfBlock.bits, kEndOfBlock.count);
    if (out->count) put_bits(out, 0, 8 - out->count);  // pad to a whole byte
    return true;
}

// Uncompressed blocks after the two header bytes, as stb falls back to.
bool rewrite_stored(const uint8_t *data, uint32_t n, zlib_out *out) {
    uint32_t blocks = (n + kStoredBlockMax - 1) / kStoredBlockMax;
    out->size = 2;
    if (!reserve(out, size_t{n} + 5 * size_t{blocks} + kTokenRoom)) return false;
    for (uint32_t j = 0; j < n;) {
        uint32_t len = n - j < kStoredBlockMax ? n - j : kStoredBlockMax;
        uint8_t *o = out->data + out->size;
        o[0] = j + len == n;  // BFINAL on the last block, BTYPE = 0
        o[1] = static_cast<uint8_t>(len);
        o[2] = static_cast<uint8_t>(len >> 8);
        o[3] = static_cast<uint8_t>(~len);
        o[4] = static_cast<uint8_t>(~len >> 8);
        memcpy(o + 5, data + j, len);
        out->size += 5 + len;
        j += len;
    }
    return true;
}

uint32_t adler32(const uint8_t *data, uint32_t n) {
    uint32_t a = 1, b = 0;
    while (n) {
        uint32_t chunk = n < kAdlerChunk ? n : kAdlerChunk;
        n -= chunk;
        for (uint32_t k = 0; k < chunk; ++k) {
            a += *data++;
            b += a;
        }
        a %= kAdlerModulus;
        b %= kAdlerModulus;
    }
    return (b << 16) | a;
}

// The whole stream after the two header bytes: the fixed block, or stored
// blocks when those come out smaller, then the Adler-32 of the data.
bool compress_stream(const uint8_t *data, uint32_t n, bucket_table *table, zlib_out *out) {
    if (!compress_fixed(data, n, table, out)) return false;
    uint64_t stored_size =
        uint64_t{n} + 2 + (uint64_t{n} + kStoredBlockMax - 1) / kStoredBlockMax * 5;
    if (out->size > stored_size && !rewrite_stored(data, n, out)) return false;
    if (!reserve(out, kTokenRoom)) return false;
    uint32_t adler = adler32(data, n);
    uint8_t *tail = out->data + out->size;
    tail[0] = static_cast<uint8_t>(adler >> 24);
    tail[1] = static_cast<uint8_t>(adler >> 16);
    tail[2] = static_cast<uint8_t>(adler >> 8);
    tail[3] = static_cast<uint8_t>(adler);
    out->size += 4;
    return true;
}

}  // namespace

unsigned char *zlib_compress(unsigned char *data, int data_len, int *out_len, int quality) {
    if (quality < kMinLevel) quality = kMinLevel;
    if (quality > kMaxZlibLevel) return nullptr;
    uint32_t n = data_len > 0 ? static_cast<uint32_t>(data_len) : 0;

    uint32_t capacity = 2 * static_cast<uint32_t>(quality);
    byte_block slots(static_cast<uint8_t *>(malloc(size_t{kHashBuckets} * capacity * 4)), free);
    byte_block counts(static_cast<uint8_t *>(calloc(kHashBuckets, 1)), free);
    // A quarter of the input holds most PNG rows; the block doubles when not.
    size_t initial = n / 4 + 4096;
    zlib_out out = {static_cast<uint8_t *>(malloc(initial)), 0, initial, 0, 0};
    bucket_table table = {reinterpret_cast<uint32_t *>(slots.get()), counts.get(), capacity};
    bool written = false;
    if (slots && counts && out.data) {
        out.data[0] = 0x78;  // deflate, 32 KiB window
        out.data[1] = 0x5e;  // FLEVEL 1 and the header check bits
        out.size = 2;
        written = compress_stream(data, n, &table, &out);
    }
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
