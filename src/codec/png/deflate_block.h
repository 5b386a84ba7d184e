// The fixed-Huffman block of our zlib compressor: stb's hash buckets, match
// search and lazy matching, written once for every instruction set it runs
// on. Included by deflate.cpp (scalar and SSE2) and again by
// deflate_avx2.cpp, which is built for processors with AVX2; the functions
// here are local to the including file.
#ifndef PIXTRIM_DEFLATE_BLOCK_H
#define PIXTRIM_DEFLATE_BLOCK_H

#include <cstdint>
#include <cstring>

#include "codec/png/deflate.h"
#include "codec/png/png.h"

#if defined(__SSE2__) && !defined(PIXTRIM_ZLIB_SCALAR)
#define PIXTRIM_ZLIB_SSE2 1
#include <emmintrin.h>
#endif
#if defined(PIXTRIM_ZLIB_SSE2) && defined(__AVX2__)
#include <immintrin.h>
#endif

// These fix which positions share a bucket and which matches count, so they
// must stay stb's numbers.
constexpr uint32_t kHashBuckets = 16384;
constexpr uint32_t kWindow = 32768;
constexpr uint32_t kMaxMatch = 258;

// Room kept free at the write position: one 8-byte store of the accumulator.
constexpr size_t kTokenRoom = 16;

// The sliding window: the 32 KiB a match may reach back into, the bytes a
// match and the lazy look one byte on may reach forward into, and room to
// read ahead in large pieces. Zeros follow the data, so that the wide loads
// near its end read known bytes.
constexpr uint32_t kLookahead = 2 * kMaxMatch + 8;
constexpr uint32_t kWindowBytes = 256 * 1024;
constexpr uint32_t kWindowPadding = 32;
static_assert(kWindowBytes > kWindow + 2 * kLookahead, "the window must leave room to read");

// The output block and the bits not yet stored in it. The block grows by
// doubling (from a first guess of a quarter of the input) up to most, the
// largest it may become.
struct zlib_out {
    uint8_t *data;
    uint64_t size;
    uint64_t capacity;
    uint64_t first_capacity;
    uint64_t most;
    bool at_most;  // the last reserve failed for want of room below most
    uint64_t bits;
    unsigned count;  // below 8 between calls
};

struct adler_sum {
    uint32_t a, b;
};

// The data from position base to end, of which every position from 32 KiB
// before the current one on is kept.
struct sliding_window {
    uint8_t *bytes;  // kWindowBytes + kWindowPadding
    uint32_t base;   // data position of bytes[0]
    uint32_t end;
    adler_sum adler;  // of everything read so far
};

// stb's hash buckets: up to 2 * level positions each, oldest first; a full
// bucket drops its older half before the next position goes in. Beside each
// position a bucket keeps the 8 bytes that start there, so that most
// candidates are settled without a look into the window.
struct bucket_table {
    uint8_t *entries;  // kHashBuckets buckets of stride slots
    uint8_t *counts;
    uint32_t capacity;
    uint32_t stride;  // slots a bucket has room for: capacity rounded up to kSlotGroup
};

// A bucket's slots are compared in groups of this many; each slot is a
// position and its 8 bytes.
constexpr uint32_t kSlotGroup = 8;
constexpr size_t kBucketSlotBytes = sizeof(uint32_t) + sizeof(uint64_t);
// The position of a slot that holds none: further back than any window
// reaches, read as a signed number.
constexpr uint32_t kEmptySlot = 0x80000000u;

// False when memory runs out, or (setting at_most) when the room would take
// the block past most.
bool zlib_reserve(zlib_out *out, uint64_t room);

// Makes sure the bytes a match at position i may reach are in the window.
void zlib_read_ahead(sliding_window *window, const byte_source &source, uint32_t i);

// stb's single fixed-Huffman block, given up when the output would grow past
// out->most (the caller then sees the size and decides). False when memory
// runs out. This is compress_fixed<ZLIB_AVX2> as deflate_avx2.cpp builds it;
// call only where the processor has AVX2.
bool zlib_compress_fixed_avx2(const byte_source &source, sliding_window *window,
                              bucket_table *table, zlib_out *out);

// The match search and the token writer are inlined into the block's loop
// whatever the compiler's size heuristics say: a call there costs more than
// the work.
#define PIXTRIM_HOT_INLINE inline __attribute__((always_inline))

namespace {

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr bool kLittleEndian = false;
#else
constexpr bool kLittleEndian = true;
#endif

inline uint64_t load_le64(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return kLittleEndian ? v : __builtin_bswap64(v);
}

inline uint32_t load_le32(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return kLittleEndian ? v : __builtin_bswap32(v);
}

inline void store_le64(uint8_t *p, uint64_t v) {
    if (!kLittleEndian) v = __builtin_bswap64(v);
    memcpy(p, &v, 8);
}

// stb's bucket hash of the three bytes at p (p + 3 must be readable).
PIXTRIM_HOT_INLINE uint32_t stb_hash(const uint8_t *p) {
    uint32_t hash = load_le32(p) & 0xFFFFFF;
    hash ^= hash << 3;
    hash += hash >> 5;
    hash ^= hash << 4;
    hash += hash >> 17;
    hash ^= hash << 25;
    hash += hash >> 6;
    return hash & (kHashBuckets - 1);
}

#ifdef __AVX2__
// stb_hash of 16 positions in a row, kept while the block's loop moves
// through them: eight at a time in 32-bit lanes, from one load of 16 bytes.
struct hash_run {
    uint32_t from;  // the first position held; the run holds none at first
    uint32_t hashes[16];
};

inline void fill_hash_run(hash_run *run, const uint8_t *origin, uint32_t from) {
    // Lane k of each half takes bytes k, k + 1 and k + 2 of the half's position.
    const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 1, 2, 3, -1, 2, 3, 4, -1, 3, 4, 5, -1,  //
                                            4, 5, 6, -1, 5, 6, 7, -1, 6, 7, 8, -1, 7, 8, 9, -1);
    for (int half = 0; half < 2; ++half) {
        __m128i bytes =
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(origin + from + 8 * half));
        __m256i h = _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(bytes), spread);
        h = _mm256_xor_si256(h, _mm256_slli_epi32(h, 3));
        h = _mm256_add_epi32(h, _mm256_srli_epi32(h, 5));
        h = _mm256_xor_si256(h, _mm256_slli_epi32(h, 4));
        h = _mm256_add_epi32(h, _mm256_srli_epi32(h, 17));
        h = _mm256_xor_si256(h, _mm256_slli_epi32(h, 25));
        h = _mm256_add_epi32(h, _mm256_srli_epi32(h, 6));
        h = _mm256_and_si256(h, _mm256_set1_epi32(kHashBuckets - 1));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(run->hashes + 8 * half), h);
    }
    run->from = from;
}
#endif

// stb_hash of the bytes at position p: from the run of hashes on the AVX2
// path (which reads 24 bytes from p), directly on the others.
template <zlib_path Path>
PIXTRIM_HOT_INLINE uint32_t hash_at(void *run_or_null, const uint8_t *origin, uint32_t p) {
#ifdef __AVX2__
    if (Path == ZLIB_AVX2) {
        hash_run *run = static_cast<hash_run *>(run_or_null);
        if (p - run->from >= 16) fill_hash_run(run, origin, p);
        return run->hashes[p - run->from];
    }
#endif
    (void)run_or_null;
    return stb_hash(origin + p);
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
inline bit_code distance_code(uint32_t distance) {
    uint32_t v = distance - 1;
    int j = kCodes.dist_index[v < 256 ? v : 256 + (v >> 7)];
    return {kCodes.dist_symbol[j].bits | ((distance - kDistBase[j]) << 5),
            kCodes.dist_symbol[j].count};
}

// The address data position 0 would have in the window's buffer (positions
// before base are never read), so that a position is one add from its byte.
inline const uint8_t *window_origin(const sliding_window &window) {
    return reinterpret_cast<const uint8_t *>(reinterpret_cast<uintptr_t>(window.bytes) -
                                             window.base);
}

// One bucket: its positions, oldest first, then the 8 bytes at each.
struct bucket_view {
    uint32_t *positions;
    uint64_t *heads;
};

// kCapacity is the table's capacity when the caller knows it at compile time
// (the PNG level's), else 0.
template <uint32_t kCapacity>
constexpr uint32_t stride_of(const bucket_table &table) {
    return kCapacity ? (kCapacity + kSlotGroup - 1) / kSlotGroup * kSlotGroup : table.stride;
}

// Whether a bucket never holds more than two groups of slots, so that a
// loop over its groups after the first runs at most once.
template <uint32_t kCapacity>
constexpr bool at_most_two_groups() {
    return kCapacity && kCapacity <= 2 * kSlotGroup;
}

template <uint32_t kCapacity>
PIXTRIM_HOT_INLINE bucket_view bucket_at(const bucket_table &table, uint32_t bucket) {
    const uint32_t stride = stride_of<kCapacity>(table);
    uint8_t *entries = table.entries + size_t{bucket} * stride * kBucketSlotBytes;
    return {reinterpret_cast<uint32_t *>(entries),
            reinterpret_cast<uint64_t *>(entries + stride * sizeof(uint32_t))};
}

// Number of equal leading bytes of a and b, at most limit; b + limit must
// stay inside the data (a lies before b). Each path compares as wide as it
// can.
template <zlib_path Path>
inline uint32_t match_length(const uint8_t *a, const uint8_t *b, uint32_t limit) {
    uint32_t k = 0;
#ifdef PIXTRIM_ZLIB_SSE2
#ifdef __AVX2__
    if (Path == ZLIB_AVX2) {
        for (; k + 32 <= limit; k += 32) {
            __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + k));
            __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + k));
            uint32_t equal = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(x, y)));
            if (equal != UINT32_MAX) return k + static_cast<uint32_t>(__builtin_ctz(~equal));
        }
    }
#endif
    if (Path != ZLIB_SCALAR) {
        for (; k + 16 <= limit; k += 16) {
            __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a + k));
            __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + k));
            uint32_t equal = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)));
            if (equal != 0xFFFF) return k + static_cast<uint32_t>(__builtin_ctz(~equal));
        }
    }
#endif
    for (; k + 8 <= limit; k += 8) {
        uint64_t diff = load_le64(a + k) ^ load_le64(b + k);
        if (diff) return k + static_cast<uint32_t>(__builtin_ctzll(diff) >> 3);
    }
    while (k < limit && a[k] == b[k]) ++k;
    return k;
}

// A found match; length 0 when there is none.
struct match {
    uint32_t length;
    uint32_t position;
};

// The slot of the bucket's longest match whose 8 leading bytes tell its
// length: the nearest among equals, which is the last slot. Returns the
// length (8 when some slot's 8 bytes all agree, and the match has to be
// followed past them) and the slot, or a length below 3 when nothing
// matches. count > 0.
template <zlib_path Path, uint32_t kCapacity>
PIXTRIM_HOT_INLINE match best_head(bucket_view bucket, uint32_t count, uint32_t i,
                                   uint64_t current) {
#ifdef PIXTRIM_ZLIB_SSE2
    // Each slot gets a key: leading bytes agreeing times 255 * 256, plus the
    // slot. Adding 1 to a head's mask of equal bytes clears its run of leading
    // ones and sets the byte after it, so the mask without that sum keeps the
    // run, whose 0xFF bytes psadbw adds up in the head's 64-bit lane. Two lanes' keys
    // are then packed into 32-bit lanes, the positions shuffled to match.
    // Slots out of the window, and the empty ones after count, key 0.
    //
    // Positions up to last_far are too far back; it is below 0 while every
    // position is near, and empty slots lie below it.
    const int last_far = static_cast<int>(i) - static_cast<int>(kWindow);
#ifdef __AVX2__
    if (Path == ZLIB_AVX2) {
        // Eight slots a step, their keys in the order j + 0, 4, 1, 5, 2, 6, 3, 7.
        const __m256i current4 = _mm256_set1_epi64x(static_cast<long long>(current));
        const __m256i one = _mm256_set1_epi64x(1);
        const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
        const __m256i far = _mm256_set1_epi32(last_far);
        auto leading_agree = [&](const uint64_t *heads) {
            __m256i equal = _mm256_cmpeq_epi8(
                _mm256_loadu_si256(reinterpret_cast<const __m256i *>(heads)), current4);
            __m256i leading = _mm256_andnot_si256(_mm256_add_epi64(equal, one), equal);
            return _mm256_sad_epu8(leading, _mm256_setzero_si256());
        };
        auto group_best = [&](uint32_t j, __m256i slot, __m256i best) {
            __m256i agree =
                _mm256_or_si256(leading_agree(bucket.heads + j),
                                _mm256_slli_epi64(leading_agree(bucket.heads + j + 4), 32));
            __m256i key = _mm256_or_si256(_mm256_slli_epi32(agree, 8), slot);
            __m256i where = _mm256_permutevar8x32_epi32(
                _mm256_loadu_si256(reinterpret_cast<const __m256i *>(bucket.positions + j)), order);
            __m256i near = _mm256_cmpgt_epi32(where, far);
            return _mm256_max_epi32(best, _mm256_and_si256(key, near));
        };
        __m256i best = group_best(0, order, _mm256_setzero_si256());
        const __m256i step = _mm256_set1_epi32(kSlotGroup);
        __m256i slot = order;
        for (uint32_t j = kSlotGroup; j < count; j += kSlotGroup) {
            slot = _mm256_add_epi32(slot, step);
            best = group_best(j, slot, best);
            if (at_most_two_groups<kCapacity>()) break;
        }
        __m128i half =
            _mm_max_epi32(_mm256_castsi256_si128(best), _mm256_extracti128_si256(best, 1));
        half = _mm_max_epi32(half, _mm_shuffle_epi32(half, _MM_SHUFFLE(1, 0, 3, 2)));
        half = _mm_max_epi32(half, _mm_shuffle_epi32(half, _MM_SHUFFLE(2, 3, 0, 1)));
        uint32_t key = static_cast<uint32_t>(_mm_cvtsi128_si32(half));
        return {(key >> 8) / 255, key & 0xFF};
    }
#endif
    if (Path == ZLIB_SSE2) {
        // Four slots a step, their keys in the order j + 0, 2, 1, 3. SSE2 has
        // no 32-bit maximum: keys are compared and chosen by masks.
        const __m128i current2 = _mm_set1_epi64x(static_cast<long long>(current));
        const __m128i one = _mm_set1_epi64x(1);
        const __m128i far = _mm_set1_epi32(last_far);
        auto leading_agree = [&](const uint64_t *heads) {
            __m128i equal =
                _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(heads)), current2);
            __m128i leading = _mm_andnot_si128(_mm_add_epi64(equal, one), equal);
            return _mm_sad_epu8(leading, _mm_setzero_si128());
        };
        auto larger = [](__m128i a, __m128i b) {
            __m128i greater = _mm_cmpgt_epi32(a, b);
            return _mm_or_si128(_mm_and_si128(greater, a), _mm_andnot_si128(greater, b));
        };
        __m128i slot = _mm_setr_epi32(0, 2, 1, 3);
        __m128i best = _mm_setzero_si128();
        for (uint32_t j = 0; j < count; j += 4) {
            __m128i agree = _mm_or_si128(leading_agree(bucket.heads + j),
                                         _mm_slli_epi64(leading_agree(bucket.heads + j + 2), 32));
            __m128i key = _mm_or_si128(_mm_slli_epi32(agree, 8), slot);
            __m128i where = _mm_shuffle_epi32(
                _mm_loadu_si128(reinterpret_cast<const __m128i *>(bucket.positions + j)),
                _MM_SHUFFLE(3, 1, 2, 0));
            best = larger(_mm_and_si128(key, _mm_cmpgt_epi32(where, far)), best);
            slot = _mm_add_epi32(slot, _mm_set1_epi32(4));
        }
        best = larger(best, _mm_shuffle_epi32(best, _MM_SHUFFLE(1, 0, 3, 2)));
        best = larger(best, _mm_shuffle_epi32(best, _MM_SHUFFLE(2, 3, 0, 1)));
        uint32_t key = static_cast<uint32_t>(_mm_cvtsi128_si32(best));
        return {(key >> 8) / 255, key & 0xFF};
    }
#endif
    // Length above slot: the largest key is the longest match and, among
    // equals, the latest slot, which is the nearest.
    uint32_t best = 0;
    for (uint32_t j = count; j-- > 0;) {
        if (i - bucket.positions[j] >= kWindow) break;  // older entries lie further back still
        uint64_t diff = bucket.heads[j] ^ current;
        uint32_t agree = static_cast<uint32_t>(__builtin_ctzll(diff | (uint64_t{1} << 63)) >> 3);
        agree += diff == 0;
        uint32_t key = (agree << 8) | j;
        best = key > best ? key : best;
    }
    return {best >> 8, best & 0xFF};
}

// Whether some slot's 8 bytes agree with current on the bytes mask keeps;
// when none does, no slot gives a match that long. Slots out of the window
// or empty may agree as well: best_head tells those apart. Only the AVX2
// path asks (one compare settles four slots); the others always search.
// count > 0.
template <zlib_path Path, uint32_t kCapacity>
PIXTRIM_HOT_INLINE bool some_head_agrees(bucket_view bucket, uint32_t count, uint64_t current,
                                         uint64_t mask) {
#ifdef __AVX2__
    if (Path == ZLIB_AVX2) {
        const __m256i current4 = _mm256_set1_epi64x(static_cast<long long>(current));
        const __m256i mask4 = _mm256_set1_epi64x(static_cast<long long>(mask));
        auto group_agrees = [&](uint32_t j) {
            __m256i agree = _mm256_setzero_si256();
            for (uint32_t k = j; k < j + kSlotGroup; k += 4) {
                __m256i heads =
                    _mm256_loadu_si256(reinterpret_cast<const __m256i *>(bucket.heads + k));
                __m256i differ = _mm256_and_si256(_mm256_xor_si256(heads, current4), mask4);
                agree = _mm256_or_si256(agree, _mm256_cmpeq_epi64(differ, _mm256_setzero_si256()));
            }
            return agree;
        };
        __m256i agree = group_agrees(0);
        for (uint32_t j = kSlotGroup; j < count; j += kSlotGroup) {
            agree = _mm256_or_si256(agree, group_agrees(j));
            if (at_most_two_groups<kCapacity>()) break;
        }
        return !_mm256_testz_si256(agree, agree);
    }
#endif
    (void)bucket, (void)count, (void)current, (void)mask;
    return true;
}

// Longest match for position i among the bucket's positions within the
// window that is longer than floor (floor >= 2); ties go to the nearest, as
// in stb. limit is the most bytes a match may take there.
template <zlib_path Path, uint32_t kCapacity>
PIXTRIM_HOT_INLINE match longest_match(const bucket_table &table, const uint8_t *origin,
                                       uint32_t bucket_index, uint32_t i, uint32_t limit,
                                       uint32_t floor) {
    uint32_t count = table.counts[bucket_index];
    if (!count) return {0, 0};
    bucket_view bucket = bucket_at<kCapacity>(table, bucket_index);
    if (i - bucket.positions[count - 1] >= kWindow) return {0, 0};  // even the newest is too far
    const uint8_t *here = origin + i;
    match best = {floor, 0};
    if (limit >= 8) {
        const uint64_t current = load_le64(here);
        // The lazy look (a floor above 2) mostly finds nothing longer: a
        // quick look at the heads settles that first.
        const uint64_t longer = floor >= 7 ? UINT64_MAX : (uint64_t{1} << (8 * floor + 8)) - 1;
        if (floor > 2 && !some_head_agrees<Path, kCapacity>(bucket, count, current, longer))
            return {0, 0};
        match head = best_head<Path, kCapacity>(bucket, count, i, current);
        if (head.length < 8) {
            if (head.length <= floor) return {0, 0};
            return {head.length, bucket.positions[head.position]};
        }
        // Some slots agree on all 8 bytes: follow each of those, nearest
        // first. One that is to be longer must agree at the best length too.
        for (uint32_t j = count; j-- > 0;) {
            uint32_t p = bucket.positions[j];
            if (i - p >= kWindow) break;
            if (bucket.heads[j] != current) continue;
            const uint8_t *there = origin + p;
            if (best.length >= 8 && there[best.length] != here[best.length]) continue;
            uint32_t length = 8 + match_length<Path>(there + 8, here + 8, limit - 8);
            if (length > best.length) {
                best = {length, p};
                if (length == limit) break;  // nothing nearer can be longer
            }
        }
    } else {  // the last few positions, too near the end for 8-byte loads
        for (uint32_t j = count; j-- > 0;) {
            uint32_t p = bucket.positions[j];
            if (i - p >= kWindow) break;
            uint32_t length = match_length<ZLIB_SCALAR>(origin + p, here, limit);
            if (length > best.length) best = {length, p};
        }
    }
    return best.length > floor ? best : match{0, 0};
}

// Adds position i, whose first 8 bytes are head, to its bucket. The slots
// after count that the wide compares read hold kEmptySlot, so they count
// as out of the window: a full bucket's dropped half is marked so, and a
// slot that starts a group clears the rest of the group.
template <uint32_t kCapacity>
PIXTRIM_HOT_INLINE void insert(const bucket_table &table, uint32_t bucket_index, uint32_t i,
                               uint64_t head) {
    bucket_view bucket = bucket_at<kCapacity>(table, bucket_index);
    uint8_t &count = table.counts[bucket_index];
    const uint32_t capacity = kCapacity ? kCapacity : table.capacity;
    if (count == capacity) {
        const uint32_t keep = capacity / 2;
        for (uint32_t j = 0; j < keep; ++j) {
            bucket.positions[j] = bucket.positions[j + keep];
            bucket.heads[j] = bucket.heads[j + keep];
        }
        if (keep % kSlotGroup)
            for (uint32_t j = keep; j < stride_of<kCapacity>(table); ++j)
                bucket.positions[j] = kEmptySlot;
        count = static_cast<uint8_t>(keep);
    }
    if (count % kSlotGroup == 0) {
        for (uint32_t j = 0; j < kSlotGroup; ++j) bucket.positions[count + j] = kEmptySlot;
        memset(bucket.heads + count, 0, kSlotGroup * sizeof(uint64_t));
    }
    bucket.positions[count] = i;
    bucket.heads[count] = head;
    ++count;
}

// The write position and bit accumulator, held in registers while tokens
// are written; room_end is where fewer than kTokenRoom bytes are left below
// the block's end or most, whichever comes first (a kept block may be
// larger than the stream may grow).
struct bit_writer {
    uint8_t *at;
    uint8_t *room_end;
    uint64_t bits;
    unsigned count;
};

inline bit_writer writer_of(const zlib_out &out) {
    uint64_t end = out.capacity < out.most ? out.capacity : out.most;
    return {out.data + out.size, out.data + end - kTokenRoom, out.bits, out.count};
}

inline void store_writer(const bit_writer &writer, zlib_out *out) {
    out->size = static_cast<uint64_t>(writer.at - out->data);
    out->bits = writer.bits;
    out->count = writer.count;
}

// Needs kTokenRoom free bytes; at most 31 bits at once.
PIXTRIM_HOT_INLINE void put_bits(bit_writer *writer, uint32_t bits, unsigned count) {
    writer->bits |= static_cast<uint64_t>(bits) << writer->count;
    writer->count += count;
    store_le64(writer->at, writer->bits);
    unsigned bytes = writer->count >> 3;
    writer->at += bytes;
    writer->bits >>= bytes * 8;
    writer->count &= 7;
}

// Makes room for the next token; false when the block may not grow.
inline bool token_room(bit_writer *writer, zlib_out *out) {
    if (writer->at <= writer->room_end) return true;
    store_writer(*writer, out);
    if (!zlib_reserve(out, kTokenRoom)) return false;
    *writer = writer_of(*out);
    return true;
}

template <uint32_t kCapacity>
PIXTRIM_HOT_INLINE void prefetch_bucket(const bucket_table &table, uint32_t bucket_index) {
    bucket_view bucket = bucket_at<kCapacity>(table, bucket_index);
    __builtin_prefetch(bucket.positions);
    __builtin_prefetch(bucket.heads);
    __builtin_prefetch(bucket.heads + kSlotGroup);
}

// The bucket table is larger than the processor's caches, so a bucket is
// asked for before the search reads it. On the AVX2 path, whose run of
// hashes already holds the positions ahead, that is the bucket this many
// positions on, early enough for memory to answer while literals go by;
// the others ask for the next position's.
constexpr uint32_t kPrefetchAhead = 4;

// The bucket of position i + 1, prefetching as above. The run is refilled
// from i + 1 whenever it does not reach i + kPrefetchAhead, so it holds both.
template <zlib_path Path, uint32_t kCapacity>
PIXTRIM_HOT_INLINE uint32_t next_bucket_prefetching(void *run_or_null, const uint8_t *origin,
                                                    const bucket_table &table, uint32_t i) {
#ifdef __AVX2__
    if (Path == ZLIB_AVX2) {
        hash_run *run = static_cast<hash_run *>(run_or_null);
        if (i + kPrefetchAhead - run->from >= 16) fill_hash_run(run, origin, i + 1);
        prefetch_bucket<kCapacity>(table, run->hashes[i + kPrefetchAhead - run->from]);
        return run->hashes[i + 1 - run->from];
    }
#endif
    uint32_t next = hash_at<Path>(run_or_null, origin, i + 1);
    prefetch_bucket<kCapacity>(table, next);
    return next;
}

template <zlib_path Path, uint32_t kCapacity>
bool compress_block(const byte_source &source, sliding_window *window, const bucket_table &buckets,
                    zlib_out *out) {
    const uint32_t n = source.length;
    bit_writer writer = writer_of(*out);
    put_bits(&writer, 1 | (1 << 1), 3);  // BFINAL = 1, BTYPE = 1 (fixed Huffman)
    zlib_read_ahead(window, source, 0);
    const uint8_t *origin = window_origin(*window);
    // The first position whose bytes ahead may not all be in the window.
    auto read_ahead_from = [&] {
        return window->end < n ? window->end - kLookahead + 1 : UINT32_MAX;
    };
    uint32_t next_read = read_ahead_from();
    uint32_t i = 0;
#ifdef __AVX2__
    hash_run run_storage = {UINT32_MAX - 16, {}};
    void *run = &run_storage;
#else
    void *run = nullptr;
#endif
    uint32_t bucket = n > 3 ? hash_at<Path>(run, origin, 0) : 0;
    // The lazy look one byte on finds the whole longest match there; when it
    // wins, the next position starts from it instead of searching again.
    match carried = {0, 0};
    while (n > 3 && i < n - 3) {
        if (!token_room(&writer, out)) return out->at_most;
        if (i >= next_read) {
            zlib_read_ahead(window, source, i);
            origin = window_origin(*window);
            next_read = read_ahead_from();
        }
        uint32_t next_bucket = next_bucket_prefetching<Path, kCapacity>(run, origin, buckets, i);
        uint32_t limit = n - i < kMaxMatch ? n - i : kMaxMatch;
        match found = carried.length
                          ? carried
                          : longest_match<Path, kCapacity>(buckets, origin, bucket, i, limit, 2);
        carried.length = 0;
        insert<kCapacity>(buckets, bucket, i, load_le64(origin + i));
        // Lazy matching: a longer match one byte on makes this byte a literal.
        uint32_t next_limit = n - i - 1 < kMaxMatch ? n - i - 1 : kMaxMatch;
        if (found.length && found.length < next_limit) {
            carried = longest_match<Path, kCapacity>(buckets, origin, next_bucket, i + 1,
                                                     next_limit, found.length);
            if (carried.length) found.length = 0;
        }
        if (found.length) {
            bit_code length = kCodes.length[found.length];
            bit_code distance = distance_code(i - found.position);
            put_bits(&writer, length.bits | (distance.bits << length.count),
                     length.count + distance.count);
            i += found.length;
            if (i < n - 3) bucket = hash_at<Path>(run, origin, i);
        } else {
            uint8_t literal = origin[i];
            put_bits(&writer, kCodes.literal[literal].bits, kCodes.literal[literal].count);
            ++i;
            bucket = next_bucket;
        }
    }
    for (; i < n; ++i) {
        if (!token_room(&writer, out)) return out->at_most;
        uint8_t literal = origin[i];
        put_bits(&writer, kCodes.literal[literal].bits, kCodes.literal[literal].count);
    }
    if (!token_room(&writer, out)) return out->at_most;
    put_bits(&writer, kEndOfBlock.bits, kEndOfBlock.count);
    if (writer.count) put_bits(&writer, 0, 8 - writer.count);  // pad to a whole byte
    store_writer(writer, out);
    return true;
}

// The PNG encoder's level has buckets of 16 slots: its search is built for
// that capacity, every other level's for the table's own.
template <zlib_path Path>
bool compress_fixed(const byte_source &source, sliding_window *window, bucket_table *table,
                    zlib_out *out) {
    constexpr uint32_t kPngCapacity = 2 * kPngCompressionLevel;
    if (table->capacity == kPngCapacity)
        return compress_block<Path, kPngCapacity>(source, window, *table, out);
    return compress_block<Path, 0>(source, window, *table, out);
}

}  // namespace

#endif
