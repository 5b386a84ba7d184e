// A zlib compressor that reproduces stb_image_write's output bit for bit.
// stb keeps a growing array per hash bucket, compares matches a byte at a
// time and pushes every output byte through a growable buffer; we keep the
// same buckets in one preallocated table (one cache line each at level 8),
// settle most candidates with one 8-byte compare and no data-dependent
// branch, reuse the lazy look's search, and write bits through a 64-bit
// accumulator. stb needs its whole input in memory; we read ours through a
// sliding window, since a match never reaches further back than 32 KiB.
#include "codec/png/deflate.h"

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

// The sliding window: the 32 KiB a match may reach back into, the bytes a
// match and the lazy look one byte on may reach forward into, and room to
// read ahead in large pieces.
constexpr uint32_t kLookahead = 2 * kMaxMatch + 8;
constexpr uint32_t kWindowBytes = 256 * 1024;
static_assert(kWindowBytes > kWindow + 2 * kLookahead, "the window must leave room to read");

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

// False when memory runs out, or (setting at_most) when the room would take
// the block past most.
bool reserve(zlib_out *out, uint64_t room) {
    if (out->capacity - out->size >= room) return true;
    uint64_t capacity = out->capacity * 2 > out->first_capacity ? out->capacity * 2
                                                                : out->first_capacity;
    if (capacity < out->size + room) capacity = out->size + room;
    if (capacity > out->most) capacity = out->most;
    out->at_most = capacity < out->size + room;
    if (out->at_most) return false;
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

struct adler_sum {
    uint32_t a, b;
};

void add_to_adler(adler_sum *sum, const uint8_t *data, size_t n) {
    while (n) {
        size_t chunk = n < kAdlerChunk ? n : kAdlerChunk;
        n -= chunk;
        for (size_t k = 0; k < chunk; ++k) {
            sum->a += *data++;
            sum->b += sum->a;
        }
        sum->a %= kAdlerModulus;
        sum->b %= kAdlerModulus;
    }
}

// The data from position base to end, of which every position from 32 KiB
// before the current one on is kept.
struct sliding_window {
    uint8_t *bytes;  // kWindowBytes
    uint32_t base;   // data position of bytes[0]
    uint32_t end;
    adler_sum adler;  // of everything read so far
};

// The address data position 0 would have in the window's buffer (positions
// before base are never read), so that a position is one add from its byte.
// Passed by value, so the match search keeps it in a register while output
// bytes are stored.
struct window_view {
    const uint8_t *origin;
};

inline window_view view_of(const sliding_window &window) {
    return {reinterpret_cast<const uint8_t *>(reinterpret_cast<uintptr_t>(window.bytes) -
                                              window.base)};
}

inline const uint8_t *byte_at(window_view window, uint32_t position) {
    return window.origin + position;
}

// Makes sure the bytes a match at position i may reach are in the window.
void read_ahead(sliding_window *window, const byte_source &source, uint32_t i) {
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

// Longest match for position i among the bucket's positions within the
// window; ties go to the nearest, as in stb. Returns the length (0 when
// under 3) and sets *match_pos.
uint32_t longest_match(const bucket_table &table, uint32_t bucket, window_view window, uint32_t i,
                       uint32_t limit, uint32_t *match_pos) {
    const uint32_t *slot = bucket_slots(table, bucket);
    const uint8_t *here = byte_at(window, i);
    int k = table.counts[bucket];
    // Length above position: the largest key is the longest match and, among
    // equals, the latest position, which is the nearest. Below 3 is no match.
    const uint64_t no_match = (uint64_t{3} << 32) - 1;
    uint64_t best = no_match;
    if (limit >= 8) {
        // One 8-byte compare settles most candidates without a data-dependent
        // branch; seven or more equal bytes go on to the long compare.
        const uint64_t current = load_le64(here);
        while (--k >= 0) {
            uint32_t p = slot[k];
            if (i - p >= kWindow) break;  // older entries lie further back still
            const uint8_t *there = byte_at(window, p);
            uint64_t diff = load_le64(there) ^ current;
            uint64_t len = static_cast<uint64_t>(__builtin_ctzll(diff | (uint64_t{1} << 63)) >> 3);
            if (__builtin_expect(len == 7, 0)) {
                len += match_length(there + 7, here + 7, limit - 7);
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
            uint64_t key = (uint64_t{match_length(byte_at(window, p), here, limit)} << 32) | p;
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

// stb's single fixed-Huffman block, given up when the output would grow
// past out->most (the caller then sees the size and decides). False when
// memory runs out.
bool compress_fixed(const byte_source &source, sliding_window *window, bucket_table *table,
                    zlib_out *out) {
    const uint32_t n = source.length;
    put_bits(out, 1 | (1 << 1), 3);  // BFINAL = 1, BTYPE = 1 (fixed Huffman)
    read_ahead(window, source, 0);
    window_view view = view_of(*window);
    // The first position whose bytes ahead may not all be in the window.
    auto read_ahead_from = [&] {
        return window->end < n ? window->end - kLookahead + 1 : UINT32_MAX;
    };
    uint32_t next_read = read_ahead_from();
    uint32_t i = 0;
    uint32_t bucket = n > 3 ? stb_hash(byte_at(view, 0)) : 0;
    // The lazy look one byte on finds the whole longest match there; when it
    // wins, the next position starts from it instead of searching again.
    uint32_t carried_len = 0, carried_pos = 0;
    while (n > 3 && i < n - 3) {
        if (!reserve(out, kTokenRoom)) return out->at_most;
        if (i >= next_read) {
            read_ahead(window, source, i);
            view = view_of(*window);
            next_read = read_ahead_from();
        }
        uint32_t next_bucket = stb_hash(byte_at(view, i + 1));
        __builtin_prefetch(bucket_slots(*table, next_bucket));
        uint32_t limit = n - i < kMaxMatch ? n - i : kMaxMatch;
        uint32_t match_pos = carried_pos;
        uint32_t len = carried_len ? carried_len
                                   : longest_match(*table, bucket, view, i, limit, &match_pos);
        carried_len = 0;
        insert(table, bucket, i);
        // Lazy matching: a longer match one byte on makes this byte a literal.
        uint32_t next_limit = n - i - 1 < kMaxMatch ? n - i - 1 : kMaxMatch;
        if (len && len < next_limit) {
            uint32_t next_len =
                longest_match(*table, next_bucket, view, i + 1, next_limit, &carried_pos);
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
            if (i < n - 3) bucket = stb_hash(byte_at(view, i));
        } else {
            uint8_t literal = *byte_at(view, i);
            put_bits(out, kCodes.literal[literal].bits, kCodes.literal[literal].count);
            ++i;
            bucket = next_bucket;
        }
    }
    for (; i < n; ++i) {
        if (!reserve(out, kTokenRoom)) return out->at_most;
        uint8_t literal = *byte_at(view, i);
        put_bits(out, kCodes.literal[literal].bits, kCodes.literal[literal].count);
    }
    if (!reserve(out, kTokenRoom)) return out->at_most;
    put_bits(out, kEndOfBlock.bits, kEndOfBlock.count);
    if (out->count) put_bits(out, 0, 8 - out->count);  // pad to a whole byte
    return true;
}

// Uncompressed blocks after the two header bytes at start, as stb falls
// back to; the data is read again from its first byte.
bool rewrite_stored(const byte_source &source, uint64_t start, adler_sum *adler, zlib_out *out) {
    uint32_t n = source.length;
    uint32_t blocks = (n + kStoredBlockMax - 1) / kStoredBlockMax;
    out->size = start + 2;
    if (!reserve(out, uint64_t{n} + 5 * uint64_t{blocks} + kTokenRoom)) return false;
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
    if (!reserve(out, kTokenRoom)) return false;
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
    if (!reserve(out, 4 + kZlibSpareRoom)) return false;
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

bool zlib_append(const byte_source &source, int level, uint64_t max_size, mem_sink *out) {
    if (level < kMinLevel) level = kMinLevel;
    if (level > kMaxZlibLevel) return false;
    uint32_t capacity = 2 * static_cast<uint32_t>(level);
    byte_block slots(static_cast<uint8_t *>(malloc(size_t{kHashBuckets} * capacity * 4)), free);
    byte_block counts(static_cast<uint8_t *>(calloc(kHashBuckets, 1)), free);
    byte_block window_bytes(static_cast<uint8_t *>(malloc(kWindowBytes)), free);
    if (!slots || !counts || !window_bytes) return false;
    bucket_table table = {reinterpret_cast<uint32_t *>(slots.get()), counts.get(), capacity};
    sliding_window window = {window_bytes.get(), 0, 0, {1, 0}};
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
    if (!zlib_append(source, quality, UINT64_MAX, &out)) {
        free(out.data);
        return nullptr;
    }
    // stb copies the stream into its PNG next; the doubling slack need not
    // be held meanwhile.
    if (void *fitted = realloc(out.data, out.size)) out.data = static_cast<uint8_t *>(fitted);
    *out_len = static_cast<int>(out.size);
    return out.data;
}
