// The metadata reader. It walks the same structure as the checks in
// guard.cpp: JPEG segments up to the first scan, PNG chunks up to the first
// image data. Every read is bounded by the segment or chunk it is in, and
// whatever does not add up is taken as absent: metadata never fails a load.
#include "codec/metadata.h"

#include <cstdlib>
#include <cstring>

#include "codec/guard.h"
#include "codec/png/png.h"

namespace {

uint32_t be16(const uint8_t *p) { return uint32_t(p[0]) << 8 | p[1]; }

// A run of bytes inside the file.
struct span {
    const uint8_t *bytes;
    size_t size;
};

bool starts_with(span s, const char *prefix, size_t length) {
    return s.size >= length && memcmp(s.bytes, prefix, length) == 0;
}

// ---- Exif orientation ----

constexpr uint32_t kOrientationTag = 0x0112;
constexpr uint32_t kTypeShort = 3;

// TIFF data as Exif holds it: the byte order, 42, the offset of IFD0. The
// first orientation entry of IFD0 decides.
int tiff_orientation(span tiff) {
    if (tiff.size < 8) return 1;
    bool little = tiff.bytes[0] == 'I' && tiff.bytes[1] == 'I';
    bool big = tiff.bytes[0] == 'M' && tiff.bytes[1] == 'M';
    if (!little && !big) return 1;
    auto u16 = [&](uint64_t at) {
        const uint8_t *p = tiff.bytes + at;
        return little ? uint32_t(p[1]) << 8 | p[0] : be16(p);
    };
    auto u32 = [&](uint64_t at) {
        return little ? u16(at + 2) << 16 | u16(at) : u16(at) << 16 | u16(at + 2);
    };
    if (u16(2) != 42) return 1;
    uint64_t ifd = u32(4);
    if (ifd + 2 > tiff.size) return 1;
    uint64_t entries = u16(ifd);
    for (uint64_t i = 0; i < entries; ++i) {
        uint64_t entry = ifd + 2 + 12 * i;
        if (entry + 12 > tiff.size) return 1;
        if (u16(entry) != kOrientationTag) continue;
        if (u16(entry + 2) != kTypeShort || u32(entry + 4) != 1) return 1;
        uint32_t value = u16(entry + 8);
        return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
    }
    return 1;
}

// ---- ICC profiles ----

constexpr size_t kProfileHeaderBytes = 128;

bool usable_profile(span profile, bool *grey) {
    if (profile.size < kProfileHeaderBytes || get_be32(profile.bytes) != profile.size) return false;
    const uint8_t *space = profile.bytes + 16;
    *grey = memcmp(space, "GRAY", 4) == 0;
    return *grey || memcmp(space, "RGB ", 4) == 0;
}

// ---- JPEG ----

constexpr int kApp1 = 0xE1, kApp2 = 0xE2, kSos = 0xDA, kEoi = 0xD9;
const char kExifId[] = "Exif\0";              // and a second NUL: 6 bytes
const char kIccId[] = "ICC_PROFILE";          // and its NUL: 12 bytes
constexpr size_t kIccSegmentHeader = 12 + 2;  // the name, sequence number and count
constexpr int kMaxIccSegments = 255;

bool stands_alone(int marker) { return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8); }

// Calls visit(marker, payload) for each segment between SOI and the first
// scan; stops early at anything that is not a whole segment. Returns where
// the first scan's marker starts, or 0 when the walk stopped before one.
template <typename Visit>
size_t walk_jpeg(span file, Visit visit) {
    size_t at = 2;
    for (;;) {
        if (at >= file.size || file.bytes[at] != 0xFF) return 0;
        size_t marker_at = at;
        while (at < file.size && file.bytes[at] == 0xFF) ++at;  // fill bytes
        if (at >= file.size) return 0;
        int marker = file.bytes[at++];
        if (marker == kSos) return marker_at;
        if (marker == kEoi) return 0;
        if (stands_alone(marker)) continue;
        if (file.size - at < 2) return 0;
        size_t length = be16(file.bytes + at);
        if (length < 2 || length > file.size - at) return 0;
        visit(marker, span{file.bytes + at + 2, length - 2});
        at += length;
    }
}

// From the first scan's marker on: the end of the EOI that ends the image
// data, found by walking the scans and the segments between them; 0 when
// the file ends or breaks first.
size_t jpeg_image_end(span file, size_t at) {
    for (;;) {
        if (at >= file.size || file.bytes[at] != 0xFF) return 0;
        while (at < file.size && file.bytes[at] == 0xFF) ++at;
        if (at >= file.size) return 0;
        int marker = file.bytes[at++];
        if (marker == kEoi) return at;
        if (stands_alone(marker)) continue;
        if (file.size - at < 2) return 0;
        size_t length = be16(file.bytes + at);
        if (length < 2 || length > file.size - at) return 0;
        at += length;
        if (marker == kSos) {
            int64_t code = jpeg_end_of_scan(file.bytes, static_cast<int64_t>(file.size),
                                            static_cast<int64_t>(at));
            if (code < 0) return 0;
            at = static_cast<size_t>(code) - 1;  // the 0xFF before the marker's code
        }
    }
}

// The profile pieces of the APP2 segments, by sequence number.
struct icc_pieces {
    span piece[kMaxIccSegments + 1];
    int count;  // as the first segment says; 0 before it
    bool broken;
};

void add_icc_piece(span payload, icc_pieces *pieces) {
    if (payload.size < kIccSegmentHeader) {
        pieces->broken = true;
        return;
    }
    int sequence = payload.bytes[12], count = payload.bytes[13];
    if (!pieces->count) pieces->count = count;
    if (count != pieces->count || sequence < 1 || sequence > count ||
        pieces->piece[sequence].bytes) {
        pieces->broken = true;
        return;
    }
    pieces->piece[sequence] = {payload.bytes + kIccSegmentHeader, payload.size - kIccSegmentHeader};
}

void keep_jpeg_profile(const icc_pieces &pieces, image_metadata *out) {
    if (pieces.broken || !pieces.count) return;
    size_t total = 0;
    for (int i = 1; i <= pieces.count; ++i) {
        if (!pieces.piece[i].bytes) return;  // missing
        total += pieces.piece[i].size;
    }
    if (total < kProfileHeaderBytes) return;
    uint8_t *whole = static_cast<uint8_t *>(malloc(total));
    if (!whole) return;
    uint8_t *to = whole;
    for (int i = 1; i <= pieces.count; ++i) {
        memcpy(to, pieces.piece[i].bytes, pieces.piece[i].size);
        to += pieces.piece[i].size;
    }
    bool grey = false;
    if (usable_profile(span{whole, total}, &grey)) {
        out->profile = whole;
        out->profile_size = total;
        out->profile_grey = grey;
    } else {
        free(whole);
    }
}

void read_jpeg(span file, bool with_profile, image_metadata *out) {
    bool seen_exif = false;
    icc_pieces pieces = {};
    walk_jpeg(file, [&](int marker, span payload) {
        if (marker == kApp1 && !seen_exif && starts_with(payload, kExifId, 6)) {
            seen_exif = true;
            out->orientation = tiff_orientation(span{payload.bytes + 6, payload.size - 6});
        } else if (marker == kApp2 && with_profile && starts_with(payload, kIccId, 12)) {
            add_icc_piece(payload, &pieces);
        }
    });
    if (with_profile) keep_jpeg_profile(pieces, out);
}

// ---- PNG ----

constexpr size_t kPngSignature = 8, kChunkFrame = 12;  // length, type, CRC
constexpr size_t kMaxProfileName = 79;
constexpr size_t kPeekBytes = 64 * 1024;  // holds almost every real profile whole

// The colour chunks a PNG output copies, with the one length each may have.
struct colour_chunk {
    uint32_t type;
    size_t length;
};
const colour_chunk kColourChunks[] = {{chunk_type("sRGB"), 1},
                                      {chunk_type("gAMA"), 4},
                                      {chunk_type("cHRM"), 32},
                                      {chunk_type("cICP"), 4}};

// Inflates an iCCP chunk's profile, never past its declared size nor
// kMaxInflatedProfile: most profiles fit the first, small attempt whole; a
// larger one is inflated again into exactly the room its first four bytes
// declare. Null when it does not inflate to a usable profile.
uint8_t *inflate_profile(span stream, size_t *size, bool *grey) {
    size_t room = kPeekBytes, produced = 0;
    uint8_t *profile = static_cast<uint8_t *>(malloc(room));
    if (!profile) return nullptr;
    if (!inflate_zlib(stream.bytes, stream.size, profile, room, &produced)) {
        size_t declared = produced >= 4 ? get_be32(profile) : 0;
        free(profile);
        if (declared <= room || declared > kMaxInflatedProfile) return nullptr;
        room = declared;
        profile = static_cast<uint8_t *>(malloc(room));
        if (!profile) return nullptr;
        if (!inflate_zlib(stream.bytes, stream.size, profile, room, &produced)) produced = 0;
    }
    *size = produced;
    if (usable_profile(span{profile, produced}, grey)) return profile;
    free(profile);
    return nullptr;
}

// An iCCP chunk's data: a name of 1-79 bytes, a NUL, method 0, a zlib stream.
void read_iccp(span data, image_metadata *out) {
    const uint8_t *nul = static_cast<const uint8_t *>(
        memchr(data.bytes, 0, data.size < kMaxProfileName + 1 ? data.size : kMaxProfileName + 1));
    if (!nul || nul == data.bytes) return;
    size_t stream_at = static_cast<size_t>(nul - data.bytes) + 2;
    if (stream_at > data.size || nul[1] != 0) return;
    size_t size = 0;
    bool grey = false;
    uint8_t *profile =
        inflate_profile(span{data.bytes + stream_at, data.size - stream_at}, &size, &grey);
    if (!profile) return;
    out->profile = profile;
    out->profile_size = size;
    out->profile_grey = grey;
}

bool append_chunk(span chunk, image_metadata *out) {
    uint8_t *grown =
        static_cast<uint8_t *>(realloc(out->png_chunks, out->png_chunks_size + chunk.size));
    if (!grown) return false;
    memcpy(grown + out->png_chunks_size, chunk.bytes, chunk.size);
    out->png_chunks = grown;
    out->png_chunks_size += chunk.size;
    return true;
}

// A chunk as the walk meets it.
struct png_chunk {
    uint32_t type;
    span whole;  // length, type, data and CRC
    span data;
    bool before_image_data;
};

// Calls visit(chunk) for each whole chunk after the signature, in order,
// until visit returns false or a chunk runs past the end of the file.
template <typename Visit>
void walk_png(span file, Visit visit) {
    bool before_image_data = true;
    for (size_t at = kPngSignature; file.size - at >= kChunkFrame;) {
        size_t length = get_be32(file.bytes + at);
        if (length > file.size - at - kChunkFrame) return;
        png_chunk chunk = {get_be32(file.bytes + at + 4),
                           span{file.bytes + at, length + kChunkFrame},
                           span{file.bytes + at + 8, length}, before_image_data};
        if (chunk.type == chunk_type("IDAT")) before_image_data = chunk.before_image_data = false;
        if (!visit(chunk)) return;
        at += chunk.whole.size;
    }
}

bool crc_right(const png_chunk &c) {
    return png_crc(c.whole.bytes + 4, c.data.size + 4) == get_be32(c.data.bytes + c.data.size);
}

bool is_colour_chunk(uint32_t type) {
    for (const colour_chunk &c : kColourChunks)
        if (type == c.type) return true;
    return false;
}

// Which chunks count: of eXIf, iCCP and the colour chunks, only the first of
// each type before the image data, with a right CRC, and for a colour chunk
// its one length.
struct chunk_rules {
    uint32_t seen[8];
    size_t seen_count;
};

bool counts(chunk_rules *rules, const png_chunk &c) {
    bool colour = is_colour_chunk(c.type);
    if (!c.before_image_data ||
        !(colour || c.type == chunk_type("eXIf") || c.type == chunk_type("iCCP")))
        return false;
    for (size_t i = 0; i < rules->seen_count; ++i)
        if (rules->seen[i] == c.type) return false;
    rules->seen[rules->seen_count++] = c.type;  // six types at most
    if (colour) {
        for (const colour_chunk &kind : kColourChunks)
            if (kind.type == c.type && kind.length != c.data.size) return false;
    }
    return crc_right(c);
}

void read_png(span file, bool with_profile, image_metadata *out) {
    chunk_rules rules = {};
    walk_png(file, [&](const png_chunk &c) {
        if (!c.before_image_data) return false;
        if (!counts(&rules, c)) return true;
        if (c.type == chunk_type("eXIf")) {
            out->orientation = tiff_orientation(c.data);
        } else if (!with_profile) {
            return true;
        } else if (c.type == chunk_type("iCCP")) {
            read_iccp(c.data, out);
            size_t iccp_at = out->png_chunks_size;
            if (out->profile && append_chunk(c.whole, out)) {
                out->png_iccp_at = iccp_at;
                out->png_iccp_size = c.whole.size;
            }
        } else {
            append_chunk(c.whole, out);
        }
        return true;
    });
}

// ---- the input's own encoding ----

// Appends to out, when there is one: the builders below also only size.
bool append(mem_sink *out, span bytes) { return !out || mem_append(out, bytes.bytes, bytes.size); }

// The PNG rewritten with its image chunks (IHDR, PLTE, tRNS, IDAT, IEND),
// the colour chunks that count and an iCCP that fits its colour type.
size_t png_own_encoding(const image_metadata &m, mem_sink *out) {
    span file = {m.input, m.input_size};
    constexpr size_t kColourTypeAt = kPngSignature + 8 + 9;
    if (file.size <= kColourTypeAt || get_be32(file.bytes + 12) != chunk_type("IHDR")) return 0;
    bool grey_type = file.bytes[kColourTypeAt] == 0 || file.bytes[kColourTypeAt] == 4;
    bool iccp_fits = m.png_iccp_size && m.profile_grey == grey_type;
    static const uint32_t kImageChunks[] = {chunk_type("IHDR"), chunk_type("PLTE"),
                                            chunk_type("tRNS"), chunk_type("IDAT"),
                                            chunk_type("IEND")};
    chunk_rules rules = {};
    size_t size = kPngSignature;
    bool ended = false, intact = append(out, span{file.bytes, kPngSignature});
    walk_png(file, [&](const png_chunk &c) {
        bool image_chunk = false;
        for (uint32_t type : kImageChunks) image_chunk = image_chunk || c.type == type;
        bool counted = counts(&rules, c);
        if (!image_chunk &&
            !(counted && (is_colour_chunk(c.type) || (c.type == chunk_type("iCCP") && iccp_fits))))
            return true;
        // Sizing reads no checksums; the copy checks every one it takes.
        if (out && ((image_chunk && !crc_right(c)) || !append(out, c.whole))) intact = false;
        size += c.whole.size;
        ended = c.type == chunk_type("IEND");
        return intact && !ended;
    });
    return ended && intact ? size : 0;
}

// The JPEG rewritten with SOI, a JFIF APP0, its colour profile (APP2) and
// APP14 segments, every segment that is no APP segment or comment, and
// everything from the first scan through the EOI that ends it.
size_t jpeg_own_encoding(const image_metadata &m, mem_sink *out) {
    span file = {m.input, m.input_size};
    constexpr int kApp0 = 0xE0, kApp14 = 0xEE, kApp15 = 0xEF, kComment = 0xFE;
    size_t size = 2;
    bool intact = append(out, span{file.bytes, 2});
    size_t scan_at = walk_jpeg(file, [&](int marker, span payload) {
        bool app = (marker >= kApp0 && marker <= kApp15) || marker == kComment;
        bool keep = !app || marker == kApp14 ||
                    (marker == kApp0 && starts_with(payload, "JFIF", 5)) ||
                    (marker == kApp2 && starts_with(payload, kIccId, 12));
        if (!keep) return;
        span whole = {payload.bytes - 4, payload.size + 4};  // marker and length first
        intact = intact && append(out, whole);
        size += whole.size;
    });
    size_t end = scan_at ? jpeg_image_end(file, scan_at) : 0;
    if (!end || !intact || !append(out, span{file.bytes + scan_at, end - scan_at})) return 0;
    return size + end - scan_at;
}

void read_into(const uint8_t *bytes, size_t size, image_format format, bool with_profile,
               image_metadata *out) {
    *out = {1, nullptr, 0, false, nullptr, 0, 0, 0, nullptr, 0};
    if (format == FMT_JPEG) read_jpeg(span{bytes, size}, with_profile, out);
    if (format == FMT_PNG && size >= kPngSignature) read_png(span{bytes, size}, with_profile, out);
}

}  // namespace

void read_metadata(const uint8_t *bytes, size_t size, image_format format, image_metadata *out) {
    read_into(bytes, size, format, true, out);
}

int read_orientation(const uint8_t *bytes, size_t size, image_format format) {
    image_metadata metadata;
    read_into(bytes, size, format, false, &metadata);
    return metadata.orientation;
}

size_t own_encoding(const image_metadata &metadata, image_format format, mem_sink *out) {
    if (!metadata.input ||
        detect_format(metadata.input, static_cast<int32_t>(metadata.input_size)) != format)
        return 0;
    if (format == FMT_PNG) return png_own_encoding(metadata, out);
    if (format == FMT_JPEG) return jpeg_own_encoding(metadata, out);
    return 0;
}

void release_input(image_metadata *metadata) {
    free(metadata->input);
    metadata->input = nullptr;
    metadata->input_size = 0;
}

void release_metadata(image_metadata *metadata) {
    free(metadata->profile);
    free(metadata->png_chunks);
    free(metadata->input);
    *metadata = {1, nullptr, 0, false, nullptr, 0, 0, 0, nullptr, 0};
}
