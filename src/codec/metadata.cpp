// The metadata reader. It walks the same structure as the checks in
// guard.cpp: JPEG segments up to the first scan, PNG chunks up to the first
// image data. Every read is bounded by the segment or chunk it is in, and
// whatever does not add up is taken as absent: metadata never fails a load.
#include "codec/metadata.h"

#include <cstdlib>
#include <cstring>

#include "codec/png/png.h"

namespace {

uint32_t be16(const uint8_t *p) { return uint32_t(p[0]) << 8 | p[1]; }
uint32_t be32(const uint8_t *p) { return be16(p) << 16 | be16(p + 2); }

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
    if (profile.size < kProfileHeaderBytes || be32(profile.bytes) != profile.size) return false;
    const uint8_t *space = profile.bytes + 16;
    *grey = memcmp(space, "GRAY", 4) == 0;
    return *grey || memcmp(space, "RGB ", 4) == 0;
}

// ---- JPEG ----

constexpr int kApp1 = 0xE1, kApp2 = 0xE2, kSos = 0xDA, kEoi = 0xD9;
const char kExifId[] = "Exif\0";                // and a second NUL: 6 bytes
const char kIccId[] = "ICC_PROFILE";            // and its NUL: 12 bytes
constexpr size_t kIccSegmentHeader = 12 + 2;    // the name, sequence number and count
constexpr int kMaxIccSegments = 255;

// Calls visit(marker, payload) for each segment between SOI and the first
// scan; stops early at anything that is not a whole segment.
template <typename Visit>
void walk_jpeg(span file, Visit visit) {
    size_t at = 2;
    for (;;) {
        if (at >= file.size || file.bytes[at] != 0xFF) return;
        while (at < file.size && file.bytes[at] == 0xFF) ++at;  // fill bytes
        if (at >= file.size) return;
        int marker = file.bytes[at++];
        if (marker == kSos || marker == kEoi) return;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;  // no length
        if (file.size - at < 2) return;
        size_t length = be16(file.bytes + at);
        if (length < 2 || length > file.size - at) return;
        visit(marker, span{file.bytes + at + 2, length - 2});
        at += length;
    }
}

// The profile pieces of the APP2 segments, by sequence number.
struct icc_pieces {
    span piece[kMaxIccSegments + 1];
    int count;     // as the first segment says; 0 before it
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

constexpr uint32_t chunk_type(const char (&name)[5]) {
    return uint32_t(uint8_t(name[0])) << 24 | uint32_t(uint8_t(name[1])) << 16 |
           uint32_t(uint8_t(name[2])) << 8 | uint32_t(uint8_t(name[3]));
}

// The colour chunks a PNG output copies, with the one length each may have.
struct colour_chunk {
    uint32_t type;
    size_t length;
};
const colour_chunk kColourChunks[] = {
    {chunk_type("sRGB"), 1}, {chunk_type("gAMA"), 4}, {chunk_type("cHRM"), 32},
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
        size_t declared = produced >= 4 ? be32(profile) : 0;
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
    uint8_t *grown = static_cast<uint8_t *>(realloc(out->png_chunks, out->png_chunks_size + chunk.size));
    if (!grown) return false;
    memcpy(grown + out->png_chunks_size, chunk.bytes, chunk.size);
    out->png_chunks = grown;
    out->png_chunks_size += chunk.size;
    return true;
}

void read_png(span file, bool with_profile, image_metadata *out) {
    constexpr uint32_t kIdat = chunk_type("IDAT"), kIend = chunk_type("IEND");
    constexpr uint32_t kExif = chunk_type("eXIf"), kIccp = chunk_type("iCCP");
    uint32_t seen[8] = {};  // the types met so far: only the first of each counts
    size_t seen_count = 0;
    for (size_t at = kPngSignature; file.size - at >= kChunkFrame;) {
        size_t length = be32(file.bytes + at);
        uint32_t type = be32(file.bytes + at + 4);
        if (type == kIdat || type == kIend || length > file.size - at - kChunkFrame) return;
        span chunk = {file.bytes + at, length + kChunkFrame};
        span data = {chunk.bytes + 8, length};
        at += chunk.size;

        bool wanted = type == kExif || (with_profile && type == kIccp);
        for (const colour_chunk &c : kColourChunks)
            if (with_profile && type == c.type) wanted = length == c.length;
        if (!wanted) continue;
        bool first = true;
        for (size_t i = 0; i < seen_count; ++i) first = first && seen[i] != type;
        if (!first) continue;
        if (seen_count < sizeof seen / sizeof seen[0]) seen[seen_count++] = type;
        if (png_crc(chunk.bytes + 4, length + 4) != be32(data.bytes + length)) continue;

        if (type == kExif) {
            out->orientation = tiff_orientation(data);
        } else if (type == kIccp) {
            read_iccp(data, out);
            if (!out->profile) continue;
            size_t iccp_at = out->png_chunks_size;
            if (append_chunk(chunk, out)) {
                out->png_iccp_at = iccp_at;
                out->png_iccp_size = chunk.size;
            }
        } else {
            append_chunk(chunk, out);
        }
    }
}

void read_into(const uint8_t *bytes, size_t size, image_format format, bool with_profile,
               image_metadata *out) {
    *out = {1, nullptr, 0, false, nullptr, 0, 0, 0};
    if (format == FMT_JPEG) read_jpeg(span{bytes, size}, with_profile, out);
    if (format == FMT_PNG && size >= kPngSignature) read_png(span{bytes, size}, with_profile, out);
}

}  // namespace

void read_metadata(const uint8_t *bytes, size_t size, image_format format,
                   image_metadata *out) {
    read_into(bytes, size, format, true, out);
}

int read_orientation(const uint8_t *bytes, size_t size, image_format format) {
    image_metadata metadata;
    read_into(bytes, size, format, false, &metadata);
    return metadata.orientation;
}

void release_metadata(image_metadata *metadata) {
    free(metadata->profile);
    free(metadata->png_chunks);
    *metadata = {1, nullptr, 0, false, nullptr, 0, 0, 0};
}
