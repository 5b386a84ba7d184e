#include "fuzz_entry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <stb_image.h>

#include "codec/guard.h"
#include "codec/load.h"
#include "codec/metadata.h"
#include "codec/png/png.h"
#include "codec/write.h"
#include "pixtrim.h"

namespace {

// Every PNG write is six or more encodes: keep one run well under a second,
// so the fuzzer spends its time on the decoder and the guards.
constexpr int64_t kLosslessMaxPixels = 512 * 512;
constexpr int64_t kCompressMaxPixels = 96 * 96;

const char *const kOutputNames[] = {"out.png", "out.jpg", "out.bmp"};

std::string s_scratch_dir;  // one per process, removed at exit

void remove_scratch() {
    unlink((s_scratch_dir + "/input").c_str());
    for (const char *name : kOutputNames) unlink((s_scratch_dir + "/" + name).c_str());
    rmdir(s_scratch_dir.c_str());
}

std::string scratch_path(const char *name) {
    if (s_scratch_dir.empty()) {
        const char *tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/pixtrim-fuzz-XXXXXX";
        if (!mkdtemp(pattern.data())) abort();
        s_scratch_dir = pattern;
        atexit(remove_scratch);
    }
    return s_scratch_dir + "/" + name;
}

void require(bool holds, const char *what) {
    if (holds) return;
    fprintf(stderr, "fuzz check failed: %s (last error: \"%s\")\n", what, pixtrim_last_error());
    abort();
}

bool exists(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

bool starts_with(const char *text, const char *prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// A failure is always explained, and one found while loading writes nothing.
void check_outcome(int result, const std::string &output) {
    if (result == 1) return;
    const char *message = pixtrim_last_error();
    require(message[0] != '\0', "failure without a message");
    bool refused_input = starts_with(message, "cannot read ") ||
                         starts_with(message, "unsupported image format: ") ||
                         starts_with(message, "cannot decode ");
    if (refused_input) require(!exists(output), "refused input left an output file");
}

// Inputs the library refuses before decoding always run; decodable ones only
// up to a pixel budget. The guard runs first: it is what makes reading a
// hostile header safe.
bool within_budget(const uint8_t *data, size_t size, int64_t max_pixels) {
    if (size == 0 || size > INT_MAX) return size == 0;
    int32_t length = static_cast<int32_t>(size);
    image_format format = detect_format(data, length);
    if (format == FMT_NONE || decode_hazard(data, length, format)) return true;
    int width = 0, height = 0, channels = 0;
    if (!stbi_info_from_memory(data, length, &width, &height, &channels)) return true;
    return std::llabs(int64_t{width}) * std::llabs(int64_t{height}) <= max_pixels;
}

std::string write_input(const uint8_t *data, size_t size) {
    std::string input = scratch_path("input");
    FILE *file = fopen(input.c_str(), "wb");
    require(file != nullptr, "cannot create the scratch input");
    if (size) require(fwrite(data, 1, size, file) == size, "cannot write the scratch input");
    require(fclose(file) == 0, "cannot close the scratch input");
    for (const char *name : kOutputNames) unlink(scratch_path(name).c_str());
    return input;
}

std::vector<uint8_t> read_file(const std::string &path) {
    std::vector<uint8_t> bytes;
    FILE *file = fopen(path.c_str(), "rb");
    require(file != nullptr, "cannot reopen the written PNG");
    uint8_t chunk[65536];
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, file)) > 0;)
        bytes.insert(bytes.end(), chunk, chunk + got);
    fclose(file);
    return bytes;
}

// The PNG path is exact: what it wrote decodes to what was loaded.
void check_png_round_trip(const std::string &input, const std::string &png) {
    rgba_image loaded;
    image_format format;
    require(load_rgba(input.c_str(), &loaded, &format) == 1, "input loaded once, not twice");
    std::unique_ptr<uint8_t, decltype(&free)> loaded_pixels(loaded.pixels, free);
    std::vector<uint8_t> bytes = read_file(png);
    int width = 0, height = 0, channels = 0;
    std::unique_ptr<uint8_t, decltype(&stbi_image_free)> written(
        stbi_load_from_memory(bytes.data(), static_cast<int>(bytes.size()), &width, &height,
                              &channels, 4),
        stbi_image_free);
    require(written != nullptr, "written PNG does not decode");
    require(width == loaded.width && height == loaded.height, "PNG size differs from input");
    size_t pixel_bytes = size_t(width) * size_t(height) * 4;
    require(memcmp(written.get(), loaded.pixels, pixel_bytes) == 0, "PNG pixels differ from input");
}

uint32_t be32(const uint8_t *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

constexpr size_t kNoChunk = SIZE_MAX;

// Requires a run of whole colour and iCCP chunks with right CRCs; returns
// where its iCCP stands, or kNoChunk.
size_t check_chunk_run(const uint8_t *chunks, size_t size) {
    size_t iccp_at = kNoChunk;
    for (size_t at = 0; at < size;) {
        require(size - at >= 12, "carried chunk cut short");
        const uint8_t *chunk = chunks + at;
        size_t length = be32(chunk);
        require(length + 12 <= size - at, "carried chunk runs past the block");
        require(png_crc(chunk + 4, length + 4) == be32(chunk + 8 + length), "carried chunk CRC");
        bool colour = !memcmp(chunk + 4, "sRGB", 4) || !memcmp(chunk + 4, "gAMA", 4) ||
                      !memcmp(chunk + 4, "cHRM", 4) || !memcmp(chunk + 4, "cICP", 4);
        if (!memcmp(chunk + 4, "iCCP", 4)) iccp_at = at;
        require(colour || iccp_at == at, "carried chunk of another type");
        at += length + 12;
    }
    return iccp_at;
}

std::vector<uint8_t> written(const rgba_image &picture, image_format format,
                             const image_metadata *carried) {
    std::string path = scratch_path(format == FMT_PNG ? "out.png" : "out.jpg");
    require(write_sized(path.c_str(), &picture, format, 80, carried) > 0, "carried write failed");
    return read_file(path);
}

// Writing carried metadata only adds it: the PNG holds whole colour chunks
// between IHDR and the image data, the JPEG APP2 segments after JFIF that
// reassemble to an RGB profile, and the rest is the file written without.
void check_carried_writes(const image_metadata &m) {
    constexpr size_t kJfifEnd = 20;
    std::vector<uint8_t> pixels(9 * 7 * 4, 255);
    for (size_t i = 0; i < pixels.size(); ++i)
        if (i % 4 != 3 && !m.profile_grey) pixels[i] = static_cast<uint8_t>(i * 37);
    rgba_image picture = {9, 7, pixels.data()};

    std::vector<uint8_t> plain = written(picture, FMT_PNG, nullptr);
    std::vector<uint8_t> png = written(picture, FMT_PNG, &m);
    size_t added = png.size() - plain.size();
    require(png.size() >= plain.size() && !memcmp(png.data(), plain.data(), kPngHeadBytes) &&
                !memcmp(png.data() + kPngHeadBytes + added, plain.data() + kPngHeadBytes,
                        plain.size() - kPngHeadBytes),
            "PNG with carried chunks is not the plain PNG with chunks added");
    const uint8_t *chunks = png.data() + kPngHeadBytes;
    size_t iccp_at = check_chunk_run(chunks, added);
    if (m.png_chunks) {
        // A PNG input's own chunks, its iCCP left out where the layout cannot use it.
        bool all = added == m.png_chunks_size && !memcmp(chunks, m.png_chunks, added);
        bool without_iccp =
            m.png_iccp_size && iccp_at == kNoChunk &&
            added == m.png_chunks_size - m.png_iccp_size &&
            !memcmp(chunks, m.png_chunks, m.png_iccp_at) &&
            !memcmp(chunks + m.png_iccp_at, m.png_chunks + m.png_iccp_at + m.png_iccp_size,
                    added - m.png_iccp_at);
        require(all || without_iccp, "PNG carries other chunks than the input's");
    }

    plain = written(picture, FMT_JPEG, nullptr);
    std::vector<uint8_t> jpeg = written(picture, FMT_JPEG, &m);
    std::vector<uint8_t> profile;
    size_t at = kJfifEnd;
    while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] == 0xE2) {
        size_t length = size_t(jpeg[at + 2]) << 8 | jpeg[at + 3];
        require(length >= 16 && !memcmp(&jpeg[at + 4], "ICC_PROFILE", 12), "APP2 segment");
        profile.insert(profile.end(), jpeg.begin() + at + 18, jpeg.begin() + at + 2 + length);
        at += 2 + length;
    }
    require(jpeg.size() - at == plain.size() - kJfifEnd &&
                !memcmp(jpeg.data() + at, plain.data() + kJfifEnd, plain.size() - kJfifEnd),
            "JPEG with a carried profile is not the plain JPEG with segments added");
    bool carries = m.profile && !m.profile_grey;
    require(carries ? profile.size() == m.profile_size &&
                          !memcmp(profile.data(), m.profile, m.profile_size)
                    : profile.empty(),
            "JPEG carries another profile than the input's");
}

}  // namespace

void fuzz_metadata(const uint8_t *data, size_t size) {
    if (size > INT_MAX) return;
    image_format format = detect_format(data, static_cast<int32_t>(size));
    image_metadata m;
    read_metadata(data, size, format, &m);
    require(m.orientation >= 1 && m.orientation <= 8, "orientation out of range");
    if (m.profile) {
        require(m.profile_size >= 128 && be32(m.profile) == m.profile_size, "profile size");
        require(!memcmp(m.profile + 16, m.profile_grey ? "GRAY" : "RGB ", 4), "profile space");
    }
    require(format == FMT_PNG || !m.png_chunks, "chunks carried from a file that is no PNG");
    size_t iccp_at = check_chunk_run(m.png_chunks, m.png_chunks_size);
    require(m.png_iccp_size ? iccp_at == m.png_iccp_at && m.profile : iccp_at == kNoChunk,
            "carried iCCP not where the record says");
    if (m.profile || m.png_chunks) check_carried_writes(m);
    release_metadata(&m);
}

void fuzz_lossless(const uint8_t *data, size_t size) {
    if (!within_budget(data, size, kLosslessMaxPixels)) return;
    std::string input = write_input(data, size);
    for (const char *name : kOutputNames) {
        std::string output = scratch_path(name);
        int result = pixtrim_lossless(input.c_str(), output.c_str());
        check_outcome(result, output);
        if (result == 1 && output.compare(output.size() - 4, 4, ".png") == 0)
            check_png_round_trip(input, output);
    }
}

void fuzz_compress(const uint8_t *data, size_t size) {
    if (!within_budget(data, size, kCompressMaxPixels)) return;
    std::string input = write_input(data, size);
    // The last byte steers quality and budget, so the fuzzer can explore both.
    int steer = size ? data[size - 1] : 0;
    int quality = steer % 101;  // 0 clamps to 1
    int budget = 1 + static_cast<int>(size * static_cast<size_t>(steer) / 64);
    for (const char *name : kOutputNames) {
        std::string output = scratch_path(name);
        check_outcome(pixtrim_quality(input.c_str(), output.c_str(), quality), output);
        int result = pixtrim_target_size(input.c_str(), output.c_str(), budget);
        check_outcome(result, output);
        if (result == 1) {
            struct stat info;
            require(stat(output.c_str(), &info) == 0 && info.st_size <= budget,
                    "target size reported success over budget");
        }
    }
}
