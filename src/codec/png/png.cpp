// The PNG encoder. Its files are byte for byte those of stb_image_write's
// PNG writer, but stb filters every row into a second picture-sized block,
// compresses that into a stream, copies the stream into the file and hands
// the file to a write function that copies it once more. We filter each row
// as the compressor reads it and compress straight into the file's block.
#include "codec/png/png.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__SSE2__) && defined(__x86_64__)
#include <wmmintrin.h>
#endif

namespace {

constexpr int kFilterTypes = 5;  // none, sub, up, average, Paeth
constexpr int kPickPerRow = 5;   // the filter mode that picks a type per row

// Signature, IHDR chunk, and the length and tag of the one IDAT chunk.
constexpr size_t kHeadBytes = kPngHeadBytes + 8;
constexpr size_t kIdatLengthAt = kHeadBytes - 8;
// The IDAT checksum and the IEND chunk.
constexpr size_t kTailBytes = 4 + 12;
static_assert(kTailBytes <= kZlibSpareRoom, "the compressor must leave room for the tail");

struct crc_table {
    uint32_t entries[256];
};

constexpr crc_table make_crc_table() {
    crc_table table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table.entries[n] = c;
    }
    return table;
}

constexpr crc_table kCrc = make_crc_table();

#if defined(__SSE2__) && defined(__x86_64__)
// The CRC register over whole 16-byte blocks by carry-less multiplication:
// the 128 bits held are folded onto the next block, then reduced to 32 bits
// (Barrett). The constants are x^160, x^96 and x^64 modulo the CRC's
// polynomial, floor(x^64 / polynomial) and the polynomial itself, all bit
// reflected as the register is, the first three shifted left by one.
// n is a multiple of 16, at least 16.
__attribute__((target("pclmul"))) uint32_t crc_folded(const uint8_t *bytes, size_t n,
                                                      uint32_t crc) {
    const __m128i fold = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);     // x^96, x^160
    const __m128i to_64 = _mm_set_epi64x(0, 0x163cd6124);              // x^64
    const __m128i barrett = _mm_set_epi64x(0x1f7011641, 0x1db710641);  // quotient, polynomial
    const __m128i low_words = _mm_setr_epi32(-1, 0, -1, 0);
    __m128i x = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes)),
                              _mm_cvtsi32_si128(static_cast<int>(crc)));
    for (size_t k = 16; k < n; k += 16) {
        __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes + k));
        x = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, fold, 0x00),
                                        _mm_clmulepi64_si128(x, fold, 0x11)),
                          next);
    }
    // 128 bits to 96, then to 64.
    x = _mm_xor_si128(_mm_srli_si128(x, 8), _mm_clmulepi64_si128(x, fold, 0x10));
    x = _mm_xor_si128(_mm_srli_si128(x, 4),
                      _mm_clmulepi64_si128(_mm_and_si128(x, low_words), to_64, 0x00));
    // Barrett: the quotient's low 32 bits times the polynomial cancel all but the remainder.
    __m128i quotient = _mm_and_si128(
        _mm_clmulepi64_si128(_mm_and_si128(x, low_words), barrett, 0x10), low_words);
    x = _mm_xor_si128(x, _mm_clmulepi64_si128(quotient, barrett, 0x00));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x, 4)));
}

// Shorter runs go through the table.
constexpr size_t kCrcFoldMin = 64;
const bool s_crc_folds = (__builtin_cpu_init(), __builtin_cpu_supports("pclmul"));
#endif

#ifdef __SSE2__
// The average and Paeth filters from byte `from` on, 16 and 8 bytes a step;
// returns where the scalar loop takes over.
size_t average_wide(const uint8_t *row, const uint8_t *above, size_t from, size_t bytes, int bpp,
                    uint8_t *out) {
    const __m128i low_bit = _mm_set1_epi8(1);
    size_t i = from;
    for (; i + 16 <= bytes; i += 16) {
        __m128i left = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + i - bpp));
        __m128i up = _mm_loadu_si128(reinterpret_cast<const __m128i *>(above + i));
        // (left + up) >> 1 is the rounded-up average less the bit it rounded by.
        __m128i mean = _mm_sub_epi8(_mm_avg_epu8(left, up),
                                    _mm_and_si128(_mm_xor_si128(left, up), low_bit));
        __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + i));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), _mm_sub_epi8(here, mean));
    }
    return i;
}

size_t paeth_wide(const uint8_t *row, const uint8_t *above, size_t from, size_t bytes, int bpp,
                  uint8_t *out) {
    const __m128i zero = _mm_setzero_si128();
    auto widen = [&](const uint8_t *p) {
        return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)), zero);
    };
    auto magnitude = [&](__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(zero, v)); };
    auto choose = [](__m128i mask, __m128i yes, __m128i no) {
        return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
    };
    size_t i = from;
    for (; i + 8 <= bytes; i += 8) {
        __m128i a = widen(row + i - bpp), b = widen(above + i), c = widen(above + i - bpp);
        // With p = a + b - c: |p - a| = |b - c|, |p - b| = |a - c|, |p - c| = |a + b - 2c|.
        __m128i pa = magnitude(_mm_sub_epi16(b, c)), pb = magnitude(_mm_sub_epi16(a, c));
        __m128i pc = magnitude(_mm_sub_epi16(_mm_add_epi16(a, b), _mm_add_epi16(c, c)));
        __m128i not_a = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
        __m128i b_or_c = choose(_mm_cmpgt_epi16(pb, pc), c, b);
        __m128i predicted = _mm_packus_epi16(choose(not_a, b_or_c, a), zero);
        __m128i here = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(row + i));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out + i), _mm_sub_epi8(here, predicted));
    }
    return i;
}
#endif

// Filters one row; `above` is the row above, zeros for the first row, which
// gives what stb writes there for each filter. wide takes the SSE2 loops.
void filter_row(int type, const uint8_t *row, const uint8_t *above, size_t bytes, int bpp,
                bool wide, uint8_t *out) {
#ifndef __SSE2__
    (void)wide;
#endif
    size_t first = static_cast<size_t>(bpp) < bytes ? static_cast<size_t>(bpp) : bytes;
    size_t i = first;
    switch (type) {
    case 0:
        memcpy(out, row, bytes);
        break;
    case 1:
        memcpy(out, row, first);
        for (; i < bytes; ++i) out[i] = static_cast<uint8_t>(row[i] - row[i - bpp]);
        break;
    case 2:
        for (i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(row[i] - above[i]);
        break;
    case 3:
        for (size_t k = 0; k < first; ++k) out[k] = static_cast<uint8_t>(row[k] - (above[k] >> 1));
#ifdef __SSE2__
        if (wide) i = average_wide(row, above, first, bytes, bpp, out);
#endif
        for (; i < bytes; ++i)
            out[i] = static_cast<uint8_t>(row[i] - ((row[i - bpp] + above[i]) >> 1));
        break;
    default:
        for (size_t k = 0; k < first; ++k) out[k] = static_cast<uint8_t>(row[k] - above[k]);
#ifdef __SSE2__
        if (wide) i = paeth_wide(row, above, first, bytes, bpp, out);
#endif
        for (; i < bytes; ++i)
            out[i] = static_cast<uint8_t>(row[i] - paeth(row[i - bpp], above[i], above[i - bpp]));
        break;
    }
}

// stb's estimate of how well a filtered row compresses: the sum of its bytes
// read as signed. stb sums in an int; a row of more than 16 MiB overflows it,
// so this sum wraps as a compiled stb's does.
int32_t row_cost(const uint8_t *filtered, size_t bytes, bool wide) {
    uint32_t sum = 0;
    size_t i = 0;
#ifndef __SSE2__
    (void)wide;
#endif
#ifdef __SSE2__
    if (wide) {
        // A byte read as signed has the magnitude min(byte, 256 - byte);
        // psadbw adds them up.
        const __m128i zero = _mm_setzero_si128();
        __m128i sums = zero;
        for (; i + 16 <= bytes; i += 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(filtered + i));
            sums = _mm_add_epi64(sums, _mm_sad_epu8(_mm_min_epu8(v, _mm_sub_epi8(zero, v)), zero));
        }
        sum = static_cast<uint32_t>(_mm_cvtsi128_si32(sums)) +
              static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
    }
#endif
    for (; i < bytes; ++i) sum += static_cast<uint32_t>(abs(static_cast<int8_t>(filtered[i])));
    return static_cast<int32_t>(sum);
}

// The picture's rows in the layout, filtered one at a time as they are read:
// each row is a filter-type byte and then the filtered bytes.
struct filtered_rows {
    const rgba_image *image;
    int channels;
    int filter_mode;
    size_t row_bytes;
    uint8_t *packed[2];  // the layout's rows y and y - 1, by y's parity (1-3 channels)
    uint8_t *zeros;      // the row above the first
    uint8_t *filtered;   // the filter type byte and the filtered row being read
    size_t handed_out;   // how much of it
    const uint8_t *above;
    int32_t next_row;
    bool wide;       // filter with SSE2, unless the compressor is forced to its scalar path
    bool pack_wide;  // pack RGB rows with AVX2, where the compressor takes that path
};

const uint8_t *layout_row(filtered_rows *rows, int32_t y) {
    const uint8_t *pixel = rows->image->pixels + static_cast<size_t>(y) * rows->image->width * 4;
    if (rows->channels == 4) return pixel;  // the picture's own row
    uint8_t *row = rows->packed[y & 1];
    size_t width = static_cast<size_t>(rows->image->width);
    switch (rows->channels) {
    case 1:
        for (size_t x = 0; x < width; ++x, pixel += 4) row[x] = pixel[0];
        break;
    case 2:
        for (size_t x = 0; x < width; ++x, pixel += 4) {
            row[2 * x] = pixel[0];
            row[2 * x + 1] = pixel[3];
        }
        break;
    default: {
        size_t x = 0;
#ifdef PIXTRIM_PNG_AVX2
        if (rows->pack_wide) x = pack_rgb_avx2(pixel, row, width);
#endif
        // Four bytes a pixel, the fourth overwritten by the next pixel's first.
        for (pixel += 4 * x; x + 1 < width; ++x, pixel += 4) memcpy(row + 3 * x, pixel, 4);
        if (width) memcpy(row + 3 * (width - 1), pixel, 3);
        break;
    }
    }
    return row;
}

void filter_next_row(filtered_rows *rows) {
    const uint8_t *row = layout_row(rows, rows->next_row);
    uint8_t *out = rows->filtered + 1;
    int type = rows->filter_mode;
    if (type == kPickPerRow) {
        // Every filter, and the first of the lowest cost, as stb picks; the
        // last one tried is already in place when it wins.
        int32_t lowest = INT32_MAX;
        for (int t = 0; t < kFilterTypes; ++t) {
            filter_row(t, row, rows->above, rows->row_bytes, rows->channels, rows->wide, out);
            int32_t cost = row_cost(out, rows->row_bytes, rows->wide);
            if (cost < lowest) lowest = cost, type = t;
        }
        if (type != kFilterTypes - 1)
            filter_row(type, row, rows->above, rows->row_bytes, rows->channels, rows->wide, out);
    } else {
        filter_row(type, row, rows->above, rows->row_bytes, rows->channels, rows->wide, out);
    }
    rows->filtered[0] = static_cast<uint8_t>(type);
    rows->handed_out = 0;
    rows->above = row;
    ++rows->next_row;
}

void read_rows(void *context, uint8_t *to, size_t count) {
    filtered_rows *rows = static_cast<filtered_rows *>(context);
    while (count) {
        if (rows->handed_out == rows->row_bytes + 1) filter_next_row(rows);
        size_t left = rows->row_bytes + 1 - rows->handed_out;
        size_t take = count < left ? count : left;
        memcpy(to, rows->filtered + rows->handed_out, take);
        rows->handed_out += take;
        to += take;
        count -= take;
    }
}

void rewind_rows(void *context) {
    filtered_rows *rows = static_cast<filtered_rows *>(context);
    rows->above = rows->zeros;
    rows->handed_out = rows->row_bytes + 1;
    rows->next_row = 0;
}

}  // namespace

uint32_t png_crc(const uint8_t *bytes, size_t n) {
    uint32_t crc = ~0u;
#if defined(__SSE2__) && defined(__x86_64__)
    if (n >= kCrcFoldMin && s_crc_folds && zlib_current_path() != ZLIB_SCALAR) {
        size_t folded = n & ~size_t{15};
        crc = crc_folded(bytes, folded, crc);
        bytes += folded;
        n -= folded;
    }
#endif
    for (size_t i = 0; i < n; ++i) crc = (crc >> 8) ^ kCrc.entries[(crc ^ bytes[i]) & 0xFF];
    return ~crc;
}

void put_be32(uint8_t *to, uint32_t value) {
    to[0] = static_cast<uint8_t>(value >> 24);
    to[1] = static_cast<uint8_t>(value >> 16);
    to[2] = static_cast<uint8_t>(value >> 8);
    to[3] = static_cast<uint8_t>(value);
}

void mem_write(void *context, void *bytes, int count) {
    mem_sink *sink = static_cast<mem_sink *>(context);
    if (count <= 0) return;
    uint64_t needed = sink->size + static_cast<uint64_t>(count);
    if (sink->capacity < needed) {
        uint64_t capacity = sink->capacity ? sink->capacity : 4096;
        while (capacity < needed) capacity *= 2;
        void *grown = realloc(sink->data, capacity);
        if (!grown) return;
        sink->data = static_cast<uint8_t *>(grown);
        sink->capacity = capacity;
    }
    memcpy(sink->data + sink->size, bytes, static_cast<size_t>(count));
    sink->size = needed;
}

bool mem_append(mem_sink *sink, const void *bytes, size_t count) {
    if (count > INT32_MAX) return false;
    uint64_t before = sink->size;
    mem_write(sink, const_cast<void *>(bytes), static_cast<int>(count));
    return sink->size == before + count;
}

bool png_encode(const rgba_image *image, int channels, int filter_mode, uint64_t max_size,
                mem_sink *out, zlib_scratch *scratch) {
    static const uint8_t kColourType[5] = {0, 0, 4, 2, 6};
    size_t row_bytes = static_cast<size_t>(image->width) * static_cast<size_t>(channels);
    uint64_t filtered_bytes = (uint64_t{row_bytes} + 1) * static_cast<uint64_t>(image->height);
    if (filtered_bytes > kMaxPngFilteredBytes || max_size < kHeadBytes + kTailBytes) return false;

    uint8_t head[kHeadBytes] = {137, 80, 78, 71, 13, 10, 26, 10, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    put_be32(head + 16, static_cast<uint32_t>(image->width));
    put_be32(head + 20, static_cast<uint32_t>(image->height));
    head[24] = 8;  // bits per channel; compression, filter and interlace methods stay 0
    head[25] = kColourType[channels];
    put_be32(head + 29, png_crc(head + 12, 4 + 13));
    memcpy(head + kIdatLengthAt + 4, "IDAT", 4);
    mem_write(out, head, kHeadBytes);
    if (out->size != kHeadBytes) return false;

    // Two packed rows (RGBA rows are the picture's own), the zero row and
    // the filtered row.
    size_t packed_rows = channels < 4 ? 2 : 0;
    std::unique_ptr<uint8_t, decltype(&free)> buffers(
        static_cast<uint8_t *>(calloc((packed_rows + 2) * row_bytes + 1, 1)), free);
    if (!buffers) return false;
    zlib_path path = zlib_current_path();
    filtered_rows rows = {
        image,   channels, filter_mode,         row_bytes,        {}, nullptr, nullptr, 0,
        nullptr, 0,        path != ZLIB_SCALAR, path == ZLIB_AVX2};
    if (packed_rows) {
        rows.packed[0] = buffers.get();
        rows.packed[1] = rows.packed[0] + row_bytes;
    }
    rows.zeros = buffers.get() + packed_rows * row_bytes;
    rows.filtered = rows.zeros + row_bytes;
    byte_source source = {read_rows, rewind_rows, &rows, static_cast<uint32_t>(filtered_bytes)};
    if (!zlib_append(source, kPngCompressionLevel, max_size - kTailBytes, out, scratch))
        return false;

    uint64_t stream_bytes = out->size - kHeadBytes;
    put_be32(out->data + kIdatLengthAt, static_cast<uint32_t>(stream_bytes));
    uint8_t tail[kTailBytes] = {0, 0, 0, 0, 0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    put_be32(tail, png_crc(out->data + kIdatLengthAt + 4, 4 + stream_bytes));
    mem_write(out, tail, kTailBytes);  // into the room the compressor left
    return true;
}
