#include "codec/png/inflate.h"

#include <array>
#include <cstring>

namespace {

constexpr int kMaxCodeBits = 15;
constexpr int kLitLenSymbols = 288, kDistanceSymbols = 32, kCodeLengthSymbols = 19;
constexpr int kEndOfBlock = 256, kFirstLength = 257, kLengthSymbols = 29;
constexpr int kLitLenTableBits = 10, kDistanceTableBits = 8, kCodeLengthTableBits = 7;

// A table entry says what a code stands for: its length in bits 0-3, its
// kind in bits 8-10, the extra bits that follow it in bits 11-14 and its
// value (a literal byte, or the base of a length or distance) in bits 16-31.
enum entry_kind : uint32_t {
    LITERAL = 0,
    BASE = 1 << 8,     // a length or a distance: the value plus the extra bits
    END = 2 << 8,      // of the block
    INVALID = 3 << 8,  // not a code, or a symbol no stream may use
    LONGER = 4 << 8,   // the code is longer than the table's bits
};

constexpr uint32_t entry(entry_kind kind, uint32_t value = 0, uint32_t extra = 0) {
    return value << 16 | extra << 11 | uint32_t(kind);
}
uint32_t code_length(uint32_t e) { return e & 15; }
uint32_t extra_bits(uint32_t e) { return e >> 11 & 15; }
entry_kind kind(uint32_t e) { return entry_kind(e & 0x700); }
uint32_t value(uint32_t e) { return e >> 16; }

// What each symbol of the three alphabets stands for, its length left 0.
// stb reads the length symbols 286 and 287 as lengths of 0, and the
// distance symbols 30 and 31 as distances of 0; no encoder writes them, and
// we leave streams that hold them to stb.
constexpr std::array<uint32_t, kLitLenSymbols> litlen_meanings() {
    constexpr uint16_t kBase[kLengthSymbols] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                                15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                                67, 83, 99, 115, 131, 163, 195, 227, 258};
    constexpr uint8_t kExtra[kLengthSymbols] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    std::array<uint32_t, kLitLenSymbols> m = {};
    for (int s = 0; s < kLitLenSymbols; ++s)
        m[s] = s < kEndOfBlock    ? entry(LITERAL, s)
               : s == kEndOfBlock ? entry(END)
               : s < kFirstLength + kLengthSymbols
                   ? entry(BASE, kBase[s - kFirstLength], kExtra[s - kFirstLength])
                   : entry(INVALID);
    return m;
}

constexpr std::array<uint32_t, kDistanceSymbols> distance_meanings() {
    std::array<uint32_t, kDistanceSymbols> m = {};
    uint32_t base = 1;
    for (int s = 0; s < kDistanceSymbols - 2; ++s) {
        uint32_t extra = s < 4 ? 0 : s / 2 - 1;
        m[s] = entry(BASE, base, extra);
        base += 1u << extra;
    }
    m[30] = m[31] = entry(INVALID);
    return m;
}

constexpr std::array<uint32_t, kCodeLengthSymbols> code_length_meanings() {
    std::array<uint32_t, kCodeLengthSymbols> m = {};
    for (int s = 0; s < kCodeLengthSymbols; ++s) m[s] = entry(LITERAL, s);
    return m;
}

constexpr std::array<uint32_t, kLitLenSymbols> kLitLenMeanings = litlen_meanings();
constexpr std::array<uint32_t, kDistanceSymbols> kDistanceMeanings = distance_meanings();
constexpr std::array<uint32_t, kCodeLengthSymbols> kCodeLengthMeanings = code_length_meanings();

// A canonical Huffman code: a table indexed by the stream's next bits (as
// many as the alphabet's table takes), and the code counts and symbols in
// code order for the codes that are longer.
struct huffman {
    uint32_t table[1 << kLitLenTableBits];
    uint16_t count[kMaxCodeBits + 1];
    uint16_t symbol[kLitLenSymbols];
    const uint32_t *meanings;
};

uint32_t reverse_bits(uint32_t code, uint32_t length) {
    uint32_t reversed = 0;
    for (uint32_t i = 0; i < length; ++i, code >>= 1) reversed = reversed << 1 | (code & 1);
    return reversed;
}

// False for lengths that give more codes than fit (stb refuses those too);
// a code with room left over is fine until the stream uses a missing code.
bool build(huffman *h, const uint8_t *lengths, int symbols, const uint32_t *meanings,
           uint32_t table_bits) {
    memset(h->count, 0, sizeof h->count);
    for (int s = 0; s < symbols; ++s) ++h->count[lengths[s]];
    h->count[0] = 0;
    int left = 1;
    uint16_t offset[kMaxCodeBits + 2] = {0, 0};
    for (int length = 1; length <= kMaxCodeBits; ++length) {
        left = 2 * left - h->count[length];
        if (left < 0) return false;
        offset[length + 1] = uint16_t(offset[length] + h->count[length]);
    }
    for (int s = 0; s < symbols; ++s)
        if (lengths[s]) h->symbol[offset[lengths[s]]++] = uint16_t(s);
    h->meanings = meanings;

    uint32_t size = 1u << table_bits;
    for (uint32_t i = 0; i < size; ++i) h->table[i] = entry(LONGER);
    uint32_t code = 0, index = 0;
    for (uint32_t length = 1; length <= table_bits; ++length, code <<= 1)
        for (uint32_t k = 0; k < h->count[length]; ++k, ++code) {
            uint32_t e = meanings[h->symbol[index++]] | length;
            for (uint32_t i = reverse_bits(code, length); i < size; i += 1u << length)
                h->table[i] = e;
        }
    return true;
}

// The stream's bits, least significant first. After a refill at least 56
// are in hand, enough for any one length and distance with their extra bits.
struct bit_reader {
    const uint8_t *next;  // the first byte not yet in bits
    const uint8_t *end;   // of the stream
    uint64_t bits;
    uint32_t count;  // of bits in hand; those above them are the next bytes
};

uint64_t load64(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

// False once bits from past the stream's end have been taken, as they have
// when the next byte is 8 past it: fewer than 64 bits are ever in hand.
bool refill(bit_reader *r) {
    if (r->next >= r->end + 8) return false;
    r->bits |= load64(r->next) << r->count;
    r->next += (63 - r->count) >> 3;
    r->count |= 56;
    return true;
}

uint32_t take(bit_reader *r, uint32_t n) {
    static constexpr uint16_t kMasks[16] = {0,   1,   3,    7,    15,   31,   63,    127,
                                            255, 511, 1023, 2047, 4095, 8191, 16383, 32767};
    uint32_t v = uint32_t(r->bits) & kMasks[n];
    r->bits >>= n;
    r->count -= n;
    return v;
}

// The entry of a code longer than the table's bits, found bit by bit.
__attribute__((noinline)) uint32_t decode_longer(const huffman &h, uint64_t bits) {
    int code = 0, first = 0, index = 0;
    for (uint32_t length = 1; length <= kMaxCodeBits; ++length, bits >>= 1) {
        code |= int(bits & 1);
        int count = h.count[length];
        if (code - first < count) return h.meanings[h.symbol[index + code - first]] | length;
        index += count;
        first = (first + count) << 1;
        code <<= 1;
    }
    return entry(INVALID);
}

// The entry of the next code.
template <uint32_t kTableBits>
uint32_t decode(const huffman &h, const bit_reader &r) {
    uint32_t e = h.table[r.bits & ((1u << kTableBits) - 1)];
    return kind(e) == LONGER ? decode_longer(h, r.bits) : e;
}

// Copies a match of length bytes from distance back, the two overlapping
// when distance < length, in words where the overlap allows. Most matches
// in pictures take one 16-byte copy.
void copy_match(uint8_t *out, size_t distance, uint32_t length) {
    const uint8_t *from = out - distance;
    if (distance >= 16) {
        memcpy(out, from, 16);
        for (uint32_t done = 16; done < length; done += 16) memcpy(out + done, from + done, 16);
    } else if (distance >= 8) {
        for (uint32_t done = 0; done < length; done += 8) memcpy(out + done, from + done, 8);
    } else if (distance == 1) {
        memset(out, *from, length);
    } else {
        for (uint32_t i = 0; i < length; ++i) out[i] = from[i];
    }
}

struct output {
    uint8_t *start, *next, *end;
};

// The codes of one block up to its end. The reader and the output are
// worked on in copies, which byte stores into the output cannot touch.
bool inflate_codes(bit_reader *reader, const huffman &litlen, const huffman &distances,
                   output *out) {
    bit_reader r = *reader;
    uint8_t *next = out->next, *const start = out->start, *const end = out->end;
    for (;;) {
        if (!refill(&r)) return false;
        uint32_t e = decode<kLitLenTableBits>(litlen, r);
        take(&r, code_length(e));
        if (kind(e) == LITERAL) {
            if (next == end) return false;
            *next++ = uint8_t(value(e));
            continue;
        }
        if (kind(e) != BASE) {
            *reader = r;
            out->next = next;
            return kind(e) == END;
        }
        uint32_t length = value(e) + take(&r, extra_bits(e));
        uint32_t d = decode<kDistanceTableBits>(distances, r);
        take(&r, code_length(d));
        if (kind(d) != BASE) return false;
        size_t distance = value(d) + take(&r, extra_bits(d));
        if (distance > size_t(next - start) || length > size_t(end - next)) return false;
        copy_match(next, distance, length);
        next += length;
    }
}

bool inflate_stored(bit_reader *r, output *out) {
    // To the byte boundary, then back to the first byte not yet taken.
    take(r, r->count & 7);
    const uint8_t *at = r->next - r->count / 8;
    r->bits = 0;
    r->count = 0;
    if (r->end - at < 4) return false;
    uint32_t length = at[0] | uint32_t(at[1]) << 8, inverse = at[2] | uint32_t(at[3]) << 8;
    at += 4;
    if ((length ^ 0xFFFF) != inverse || length > size_t(r->end - at) ||
        length > size_t(out->end - out->next))
        return false;
    memcpy(out->next, at, length);
    out->next += length;
    r->next = at + length;
    return true;
}

bool read_fixed_codes(huffman *litlen, huffman *distances) {
    uint8_t lengths[kLitLenSymbols];
    memset(lengths, 8, 144);
    memset(lengths + 144, 9, 112);
    memset(lengths + 256, 7, 24);
    memset(lengths + 280, 8, 8);
    uint8_t distance_lengths[kDistanceSymbols];
    memset(distance_lengths, 5, sizeof distance_lengths);
    return build(litlen, lengths, kLitLenSymbols, kLitLenMeanings.data(), kLitLenTableBits) &&
           build(distances, distance_lengths, kDistanceSymbols, kDistanceMeanings.data(),
                 kDistanceTableBits);
}

// The code lengths of a dynamic block, checked as stb checks them: up to
// 288 length and 32 distance symbols, repeats within the lengths.
bool read_dynamic_codes(bit_reader *r, huffman *litlen, huffman *distances) {
    static const uint8_t kOrder[kCodeLengthSymbols] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                       11, 4,  12, 3, 13, 2, 14, 1, 15};
    if (!refill(r)) return false;
    uint32_t litlen_count = take(r, 5) + kFirstLength, distance_count = take(r, 5) + 1;
    uint32_t code_length_count = take(r, 4) + 4;
    uint8_t lengths[kLitLenSymbols + kDistanceSymbols] = {};
    for (uint32_t i = 0; i < code_length_count; ++i) {
        if (!refill(r)) return false;
        lengths[kOrder[i]] = uint8_t(take(r, 3));
    }
    huffman code_lengths;
    if (!build(&code_lengths, lengths, kCodeLengthSymbols, kCodeLengthMeanings.data(),
               kCodeLengthTableBits))
        return false;

    uint32_t total = litlen_count + distance_count, n = 0;
    memset(lengths, 0, sizeof lengths);
    while (n < total) {
        if (!refill(r)) return false;
        uint32_t e = decode<kCodeLengthTableBits>(code_lengths, *r);
        if (kind(e) != LITERAL) return false;
        take(r, code_length(e));
        uint32_t symbol = value(e);
        if (symbol < 16) {
            lengths[n++] = uint8_t(symbol);
            continue;
        }
        uint8_t repeated = 0;
        uint32_t times;
        if (symbol == 16) {
            if (n == 0) return false;
            repeated = lengths[n - 1];
            times = 3 + take(r, 2);
        } else {
            times = symbol == 17 ? 3 + take(r, 3) : 11 + take(r, 7);
        }
        if (times > total - n) return false;
        memset(lengths + n, repeated, times);
        n += times;
    }
    return build(litlen, lengths, int(litlen_count), kLitLenMeanings.data(), kLitLenTableBits) &&
           build(distances, lengths + litlen_count, int(distance_count), kDistanceMeanings.data(),
                 kDistanceTableBits);
}

}  // namespace

bool inflate_exact(const uint8_t *stream, size_t size, uint8_t *out, size_t out_size) {
    if (size < 2) return false;
    uint32_t method = stream[0], flags = stream[1];
    // Deflate, no preset dictionary, and the header's check.
    if ((method & 15) != 8 || (flags & 32) || (method << 8 | flags) % 31 != 0) return false;

    bit_reader r = {stream + 2, stream + size, 0, 0};
    output o = {out, out, out + out_size};
    huffman litlen, distances;
    bool last;
    do {
        if (!refill(&r)) return false;
        last = take(&r, 1);
        bool complete;
        switch (take(&r, 2)) {
        case 0: complete = inflate_stored(&r, &o); break;
        case 1:
            complete =
                read_fixed_codes(&litlen, &distances) && inflate_codes(&r, litlen, distances, &o);
            break;
        case 2:
            complete = read_dynamic_codes(&r, &litlen, &distances) &&
                       inflate_codes(&r, litlen, distances, &o);
            break;
        default: return false;
        }
        if (!complete) return false;
    } while (!last);
    int64_t bits_left = 8 * (r.end - r.next) + int64_t(r.count);
    return o.next == o.end && bits_left >= 16;
}
