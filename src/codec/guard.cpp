// Our own small parsers of JPEG, PNG and BMP structure. They read the file
// the way the decoder will and refuse the few shapes that make it write out
// of bounds, allocate gigabytes for a few bytes, or hand back pixels it never
// wrote. Valid files pass untouched.
#include "codec/guard.h"

#include <cstdlib>
#include <cstring>

#include <stb_image.h>

#include "codec/bmp/bmp.h"

namespace {

// Bytes past the end read as 0, as they do inside the decoder.
struct byte_view {
    const uint8_t *bytes;
    int64_t size;

    int byte(int64_t at) const { return at >= 0 && at < size ? bytes[at] : 0; }
    uint32_t be16(int64_t at) const { return uint32_t(byte(at)) << 8 | uint32_t(byte(at + 1)); }
    uint32_t be32(int64_t at) const { return be16(at) << 16 | be16(at + 2); }
    uint32_t le16(int64_t at) const { return uint32_t(byte(at + 1)) << 8 | uint32_t(byte(at)); }
    uint32_t le32(int64_t at) const { return le16(at + 2) << 16 | le16(at); }
};

// ---- JPEG ----

constexpr int kMarkerSoi = 0xD8, kMarkerEoi = 0xD9, kMarkerSos = 0xDA, kMarkerDht = 0xC4;
constexpr int kHuffmanSymbols = 256;  // the decoder's table holds this many values

bool is_restart(int marker) { return marker >= 0xD0 && marker <= 0xD7; }

// Position of the next marker code byte at or after at (fill bytes 0xFF
// skipped), or -1 at the end of the file.
int64_t next_marker(const byte_view &file, int64_t at) {
    if (at < 0) at = 0;
    if (at >= file.size) return -1;
    const void *ff = memchr(file.bytes + at, 0xFF, size_t(file.size - at));
    if (!ff) return -1;
    at = static_cast<const uint8_t *>(ff) - file.bytes;
    while (at < file.size && file.byte(at) == 0xFF) ++at;
    return at < file.size ? at : -1;
}

// Entropy-coded data ends at the first marker that is neither a stuffed 0x00
// nor a restart marker; returns the position of its code byte, or -1.
int64_t end_of_scan(const byte_view &file, int64_t at) {
    for (;;) {
        at = next_marker(file, at);
        if (at < 0) return -1;
        int code = file.byte(at);
        if (code != 0x00 && !is_restart(code)) return at;
        ++at;
    }
}

// The decoder fills a Huffman table from 16 code counts without checking
// that they fit its 256 entries, or the segment that carries them.
bool huffman_segment_fits(const byte_view &file, int64_t start, int64_t length) {
    int64_t end = start + length;
    if (end > file.size) return false;
    int64_t at = start + 2;
    while (at < end) {
        if (end - at < 17) return false;
        int64_t symbols = 0;
        for (int i = 1; i <= 16; ++i) symbols += file.byte(at + i);
        if (symbols > kHuffmanSymbols || 17 + symbols > end - at) return false;
        at += 17 + symbols;
    }
    return true;
}

// Walks every segment up to the end-of-image marker, stepping over scans,
// and counts the scans.
const char *jpeg_hazard(const byte_view &file, int64_t *scans) {
    int64_t at = 2;  // after the start-of-image marker
    for (;;) {
        int64_t code_at = next_marker(file, at);
        if (code_at < 0) return nullptr;
        int marker = file.byte(code_at);
        at = code_at + 1;
        if (marker == kMarkerEoi) return nullptr;
        if (marker == kMarkerSoi || marker == 0x01 || is_restart(marker)) continue;
        int64_t length = file.be16(at);
        if (length < 2) return nullptr;  // the decoder stops here with its own error
        if (marker == kMarkerDht && !huffman_segment_fits(file, at, length))
            return "bad huffman table";
        at += length;
        if (marker == kMarkerSos) {
            ++*scans;
            at = end_of_scan(file, at);
            if (at < 0) return nullptr;
            --at;  // back onto the 0xFF so the next lookup finds this marker
        }
    }
}

// ---- PNG ----

constexpr uint32_t png_type(char a, char b, char c, char d) {
    return uint32_t(uint8_t(a)) << 24 | uint32_t(uint8_t(b)) << 16 | uint32_t(uint8_t(c)) << 8 |
           uint32_t(uint8_t(d));
}

// Deflate turns at most 2 bits (a one-bit length code and a one-bit
// distance code) into 258 bytes, and the decoder's bit reader runs at most a
// few zero bytes past the end of the data.
constexpr int64_t kMaxInflateRatio = 1032;
constexpr int64_t kInflateSlackBytes = 8;

// The fewest bytes the rows of the picture an IHDR declares can take, filter
// bytes and interlacing aside; 0 for a header the decoder refuses itself.
int64_t png_least_row_bytes(const byte_view &file, int64_t ihdr) {
    int64_t width = file.be32(ihdr), height = file.be32(ihdr + 4);
    int depth = file.byte(ihdr + 8);
    int channels;
    switch (file.byte(ihdr + 9)) {
    case 0: channels = 1; break;  // grey
    case 2: channels = 3; break;  // RGB
    case 3: channels = 1; break;  // palette indices
    case 4: channels = 2; break;  // grey and alpha
    case 6: channels = 4; break;  // RGBA
    default: return 0;
    }
    bool known_depth = depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    // Sides past the cap are refused by the decoder, and would overflow here.
    if (!known_depth || width > kMaxDecodePixels || height > kMaxDecodePixels ||
        width * height > kMaxDecodePixels)
        return 0;
    return width * height * channels * depth / 8;
}

// The decoder sizes its buffer from a chunk's declared length before it
// finds out the bytes are not there. It also takes memory for the whole
// picture before inflating, so image data too short for the rows declared
// is refused first, with the reason the decoder would give at the end.
const char *png_hazard(const byte_view &file) {
    constexpr int64_t kSignatureBytes = 8, kChunkHeaderBytes = 8, kCrcBytes = 4;
    constexpr int64_t kHeaderBytes = 13;
    int64_t at = kSignatureBytes, ihdr = -1, image_data = 0;
    while (file.size - at >= kChunkHeaderBytes) {
        int64_t length = file.be32(at);
        uint32_t type = file.be32(at + 4);
        if (type == png_type('I', 'E', 'N', 'D')) break;
        int64_t data = at + kChunkHeaderBytes;
        if (length > file.size - data) return "chunk too long";
        if (type == png_type('I', 'H', 'D', 'R') && ihdr < 0 && length >= kHeaderBytes)
            ihdr = data;
        if (type == png_type('I', 'D', 'A', 'T')) image_data += length;
        at = data + length + kCrcBytes;
    }
    if (ihdr >= 0 &&
        png_least_row_bytes(file, ihdr) > kMaxInflateRatio * (image_data + kInflateSlackBytes))
        return "not enough pixels";
    return nullptr;
}

// ---- BMP ----

// The header fields the decoder reads, at the offsets it reads them from.
struct bmp_header {
    int64_t offset;       // where the pixel rows start
    int64_t header_size;  // 12 (OS/2) or 40, 56, 108, 124 (Windows)
    int64_t width;
    int64_t height;       // negative for top-down rows
    int bits_per_pixel;
    int32_t compression;  // signed, as the decoder reads it
};

bmp_header read_bmp_header(const byte_view &file) {
    bmp_header h;
    h.offset = int32_t(file.le32(10));
    h.header_size = int32_t(file.le32(14));
    if (h.header_size == 12) {
        h.width = file.le16(18);
        h.height = file.le16(20);
        h.bits_per_pixel = int(file.le16(24));
        h.compression = 0;
    } else {
        h.width = file.le32(18);
        h.height = int32_t(file.le32(22));
        h.bits_per_pixel = int(file.le16(28));
        h.compression = int32_t(file.le32(30));
    }
    return h;
}

// Bytes of pixel data in one row, before the padding to 4 bytes.
int64_t bmp_row_bytes(const bmp_header &h) {
    switch (h.bits_per_pixel) {
    case 1: return (h.width + 7) / 8;
    case 4: return (h.width + 1) / 2;
    case 8: return h.width;
    case 16: return h.width * 2;
    case 24: return h.width * 3;
    case 32: return h.width * 4;
    default: return -1;
    }
}

// Palette entries as the decoder counts them; pixels whose index reaches
// this count read colours from memory the decoder never wrote.
int64_t bmp_palette_entries(const bmp_header &h) {
    constexpr int64_t kFileHeaderBytes = 14;
    int64_t palette_bytes = h.offset - kFileHeaderBytes - h.header_size;
    if (h.header_size == 12) return (palette_bytes - 12) / 3;  // as the decoder computes it
    return palette_bytes >= 0 ? palette_bytes / 4 : -((3 - palette_bytes) / 4);
}

bool bmp_indices_in_palette(const byte_view &file, const bmp_header &h, int64_t rows,
                            int64_t stride, int64_t entries) {
    int bits = h.bits_per_pixel;
    int mask = (1 << bits) - 1;
    if (entries > mask) return true;  // every index the pixels can hold is in the palette
    for (int64_t y = 0; y < rows; ++y) {
        int64_t row = h.offset + y * stride;
        for (int64_t x = 0; x < h.width; ++x) {
            int64_t bit = x * bits;
            int shift = 8 - bits - int(bit % 8);
            if (((file.byte(row + bit / 8) >> shift) & mask) >= entries) return false;
        }
    }
    return true;
}

// The decoder reports success for a file too short for its rows (it reads
// zeros past the end), so a 54-byte header can "decode" to gigabytes.
const char *bmp_hazard(const byte_view &file) {
    bmp_header h = read_bmp_header(file);
    bool known_header = h.header_size == 12 || h.header_size == 40 || h.header_size == 56 ||
                        h.header_size == 108 || h.header_size == 124;
    // 3 is bit-field masks; the decoder takes negative codes as uncompressed too.
    bool uncompressed = h.compression <= 0 || h.compression == 3;
    int64_t rows = std::llabs(h.height);
    int64_t row_bytes = bmp_row_bytes(h);
    // The decoder refuses all of these itself; an empty picture is refused later.
    if (!known_header || !uncompressed || row_bytes <= 0 || rows == 0 || h.offset < 0 ||
        h.width > kDecoderMaxSide || rows > kDecoderMaxSide)
        return nullptr;

    int64_t stride = (row_bytes + 3) / 4 * 4;
    // The last row's padding may be missing: every pixel is still there.
    if (h.offset + (rows - 1) * stride + row_bytes > file.size) return "truncated pixel data";

    if (h.bits_per_pixel <= 8) {
        int64_t entries = bmp_palette_entries(h);
        if (entries == 0 || entries > 256) return nullptr;  // refused by the decoder
        if (!bmp_indices_in_palette(file, h, rows, stride, entries))
            return "palette index out of range";
    }
    return nullptr;
}

// A complete JPEG holds at least one bit of scan data per 8x8 block. The
// decoder makes up whatever is missing, so a file with less than 1/64 bit per
// block would have it fill a whole picture, for seconds and gigabytes, from
// almost nothing. Each scan walks the picture's blocks again, so a file of
// many empty scans counts each of them.
constexpr int64_t kMaxJpegPixelsPerByte = 32768;

// Reads only the header, so it runs after the checks that make header
// parsing itself safe.
const char *size_hazard(const uint8_t *bytes, int32_t size, image_format format,
                        int64_t jpeg_scans) {
    int width = 0, height = 0, channels = 0;
    if (!stbi_info_from_memory(bytes, size, &width, &height, &channels)) return nullptr;
    // BMP reports a top-down height as negative.
    int64_t pixels = std::llabs(int64_t{width}) * std::llabs(int64_t{height});
    if (pixels > kMaxDecodePixels) return "image too large";
    int64_t passes = jpeg_scans > 1 ? jpeg_scans : 1;  // at most the file's size
    if (format == FMT_JPEG && pixels * passes > kMaxJpegPixelsPerByte * size)
        return "too little data";
    return nullptr;
}

}  // namespace

int64_t jpeg_end_of_scan(const uint8_t *bytes, int64_t size, int64_t at) {
    return end_of_scan(byte_view{bytes, size}, at);
}

const char *decode_hazard(const uint8_t *bytes, int32_t size, image_format format) {
    byte_view file = {bytes, size};
    int64_t jpeg_scans = 0;
    // Reading a JPEG's dimensions already fills its Huffman tables.
    if (format == FMT_JPEG) {
        if (const char *reason = jpeg_hazard(file, &jpeg_scans)) return reason;
    }
    if (const char *reason = size_hazard(bytes, size, format, jpeg_scans)) return reason;
    if (format == FMT_PNG) return png_hazard(file);
    if (format == FMT_BMP) return bmp_hazard(file);
    return nullptr;
}
