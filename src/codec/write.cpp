#include "codec/write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include <stb_image_write.h>

#include "codec/metadata.h"
#include "state.h"

namespace {

using byte_block = std::unique_ptr<uint8_t, decltype(&free)>;

// The JPEG header stores each side in 16 bits.
constexpr int32_t kMaxJpegSide = 65535;

// The BMP writer computes its file size in an int.
constexpr int64_t kMaxBmpFileBytes = INT_MAX;
constexpr int64_t kBmpHeaderBytes = 14 + 40;

// 0-4 force one filter, 5 picks one per row. An attempt gives up as soon as
// it cannot win, so the modes that win most often (per row and average, on
// photos) go first: behind a small file the others give up sooner.
constexpr int kPngModeOrder[] = {5, 3, 1, 4, 2, 0};

// stb's own path-based writers ignore write and close errors, so BMP goes
// through this sink and every write is checked.
struct file_sink {
    FILE *file;
    bool failed;
};

void file_write(void *context, void *bytes, int count) {
    file_sink *sink = static_cast<file_sink *>(context);
    if (sink->failed || count < 0) return;
    if (fwrite(bytes, 1, static_cast<size_t>(count), sink->file) != static_cast<size_t>(count))
        sink->failed = true;
}

// Opens path, lets encode write into it, closes it; true only when the
// encoder succeeded and every byte reached the file.
template <typename Encode>
bool write_file(const char *path, Encode encode) {
    file_sink sink = {fopen(path, "wb"), false};
    if (!sink.file) return false;
    bool encoded = encode(&sink) != 0;
    bool closed = fclose(sink.file) == 0;
    return encoded && closed && !sink.failed;
}

size_t pixel_count(const rgba_image *image) {
    return static_cast<size_t>(image->width) * static_cast<size_t>(image->height);
}

bool is_opaque(const rgba_image *image) {
    // Two pixels per 64-bit word: their alpha bytes all set.
    const uint64_t alpha_bytes = 0xFF000000FF000000u;
    const uint8_t *p = image->pixels;
    size_t n = pixel_count(image), i = 0;
    for (; i + 2 <= n; i += 2, p += 8) {
        uint64_t two;
        memcpy(&two, p, 8);
        if ((two & alpha_bytes) != alpha_bytes) return false;
    }
    return i == n || p[3] == 255;
}

bool is_grey(const rgba_image *image) {
    const uint8_t *p = image->pixels;
    for (size_t i = 0, n = pixel_count(image); i < n; ++i, p += 4)
        if (p[0] != p[1] || p[1] != p[2]) return false;
    return true;
}

constexpr size_t kIccSegmentProfileBytes = 65519;  // 65535 less the length, name and numbers
constexpr size_t kMaxIccSegments = 255;
const uint8_t kIccSegmentName[12] = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0};
const uint8_t kIccpName[13] = {'I', 'C', 'C', ' ', 'P', 'r', 'o', 'f', 'i', 'l', 'e', 0, 0};

// The APP2 segments that carry an RGB profile in a JPEG (always YCbCr from
// RGB, so a grey profile does not apply). False when memory runs out.
bool jpeg_profile_segments(const image_metadata *carried, mem_sink *out) {
    if (!carried || !carried->profile || carried->profile_grey) return true;
    size_t size = carried->profile_size;
    size_t count = (size + kIccSegmentProfileBytes - 1) / kIccSegmentProfileBytes;
    if (count > kMaxIccSegments) return true;  // more than a JPEG can number; never read from one
    for (size_t i = 0; i < count; ++i) {
        size_t at = i * kIccSegmentProfileBytes;
        size_t piece = size - at < kIccSegmentProfileBytes ? size - at : kIccSegmentProfileBytes;
        size_t length = 2 + sizeof kIccSegmentName + 2 + piece;
        uint8_t head[4 + sizeof kIccSegmentName + 2] = {
            0xFF, 0xE2, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
        memcpy(head + 4, kIccSegmentName, sizeof kIccSegmentName);
        head[sizeof head - 2] = static_cast<uint8_t>(i + 1);
        head[sizeof head - 1] = static_cast<uint8_t>(count);
        if (!mem_append(out, head, sizeof head) || !mem_append(out, carried->profile + at, piece))
            return false;
    }
    return true;
}

// The chunks a PNG in a grey or colour layout carries right after IHDR: a
// PNG input's own colour chunks, or an iCCP made from a JPEG input's
// profile. A profile of the other kind than the layout is left out. False
// when memory runs out.
bool png_carried_chunks(const image_metadata *carried, bool grey_layout, mem_sink *out) {
    if (!carried) return true;
    bool profile_fits = carried->profile && carried->profile_grey == grey_layout;
    if (carried->png_chunks_size) {
        if (profile_fits || !carried->png_iccp_size)
            return mem_append(out, carried->png_chunks, carried->png_chunks_size);
        size_t after_iccp = carried->png_iccp_at + carried->png_iccp_size;
        return mem_append(out, carried->png_chunks, carried->png_iccp_at) &&
               mem_append(out, carried->png_chunks + after_iccp,
                      carried->png_chunks_size - after_iccp);
    }
    if (!profile_fits || carried->profile_size > INT_MAX) return true;
    int compressed_size = 0;
    byte_block compressed(zlib_compress(carried->profile, static_cast<int>(carried->profile_size),
                                        &compressed_size, kPngCompressionLevel),
                          free);
    if (!compressed) return false;
    uint8_t length[4];
    put_be32(length, static_cast<uint32_t>(sizeof kIccpName + compressed_size));
    if (!mem_append(out, length, 4) || !mem_append(out, "iCCP", 4) ||
        !mem_append(out, kIccpName, sizeof kIccpName) ||
        !mem_append(out, compressed.get(), static_cast<size_t>(compressed_size)))
        return false;
    uint8_t crc[4];
    put_be32(crc, png_crc(out->data + 4, out->size - 4));
    return mem_append(out, crc, 4);
}

}  // namespace

bool wrote_own_encoding(const char *path, const rgba_image *image, image_format format,
                        const image_metadata *input, uint64_t ours_size, int32_t *size) {
    if (!input) return false;
    size_t own_size = own_encoding(*input, format, nullptr);
    if (!own_size || own_size >= ours_size) return false;
    mem_sink own = {nullptr, 0, 0};
    byte_block release_own(nullptr, free);
    own_size = own_encoding(*input, format, &own);
    release_own.reset(own.data);
    if (!own_size || own_size > INT32_MAX) return false;
    rgba_image decoded = {0, 0, nullptr};
    if (decode_picture(own.data, static_cast<int32_t>(own_size), format, &decoded)) return false;
    byte_block release_decoded(decoded.pixels, free);
    if (decoded.width != image->width || decoded.height != image->height ||
        memcmp(decoded.pixels, image->pixels, pixel_count(image) * 4) != 0)
        return false;
    release_decoded.reset();

    FILE *file = fopen(path, "wb");
    bool written = file && fwrite(own.data, 1, own_size, file) == own_size;
    bool closed = file && fclose(file) == 0;
    *size = written && closed ? static_cast<int32_t>(own_size) : -1;
    if (*size < 0) {
        if (format == FMT_PNG) set_err(file ? "short write %s" : "cannot write %s", path);
        else set_err("jpeg encode failed: %s", path);
    }
    return true;
}

namespace {

// Encodes the picture in a layout of this many channels under every filter
// mode and keeps in best the smallest file, of the lowest mode among equals;
// a best from an earlier layout is replaced only by a smaller file. True when
// a mode replaced it. An attempt gives up as soon as it cannot win, so at
// most two files are held at once. Each attempt writes into spare, the block
// of the last attempt that lost or of the best it replaced, and the
// compressor keeps its memory in scratch: fresh blocks would be faulted in
// anew every time.
bool encode_layout(const rgba_image *image, int channels, mem_sink *best, mem_sink *spare,
                   zlib_scratch *scratch) {
    bool replaced = false;
    int best_mode = 0;
    for (int mode : kPngModeOrder) {
        bool wins_ties = replaced && mode < best_mode;
        uint64_t max_size = best->data ? best->size - (wins_ties ? 0 : 1) : INT32_MAX;
        spare->size = 0;
        if (!png_encode(image, channels, mode, max_size, spare, scratch)) continue;
        std::swap(*best, *spare);
        replaced = true;
        best_mode = mode;
        // The block grew by doubling; the kept file need not hold that slack
        // while the next modes encode.
        if (void *fitted = realloc(best->data, best->size)) {
            best->data = static_cast<uint8_t *>(fitted);
            best->capacity = best->size;
        }
    }
    return replaced;
}

}  // namespace

uint8_t *flatten_white(const rgba_image *image) {
    size_t n = pixel_count(image);
    uint8_t *rgb = static_cast<uint8_t *>(malloc(n * 3));
    if (!rgb) return nullptr;
    const uint8_t *src = image->pixels;
    uint8_t *dst = rgb;
    for (size_t i = 0; i < n; ++i, src += 4, dst += 3) {
        unsigned alpha = src[3];
        for (int c = 0; c < 3; ++c)
            dst[c] = static_cast<uint8_t>(src[c] * alpha / 255 + (255 - alpha));
    }
    return rgb;
}

namespace {

// Opens path and lets write fill it with a JPEG of the picture and the
// segments it carries; records why when that fails.
template <typename Write>
int write_jpeg_file(const char *path, const rgba_image *image, const image_metadata *carried,
                    Write write) {
    if (image->width > kMaxJpegSide || image->height > kMaxJpegSide) {
        set_err("jpeg encode failed: %s", path);
        return 0;
    }
    mem_sink segments = {nullptr, 0, 0};
    byte_block release_segments(nullptr, free);
    bool made = jpeg_profile_segments(carried, &segments);
    release_segments.reset(segments.data);
    if (!made) {
        set_err("out of memory");
        return 0;
    }
    FILE *file = fopen(path, "wb");
    if (!file) {
        set_err("jpeg encode failed: %s", path);
        return 0;
    }
    jpeg_result result = write(file, segments);
    bool closed = fclose(file) == 0;
    if (result == JPEG_NO_MEMORY) {
        set_err("out of memory");
        return 0;
    }
    if (result != JPEG_OK || !closed) {
        set_err("jpeg encode failed: %s", path);
        return 0;
    }
    return 1;
}

}  // namespace

int encode_jpg(const char *path, const rgba_image *image, int quality,
               const image_metadata *carried) {
    return write_jpeg_file(path, image, carried, [&](FILE *file, const mem_sink &segments) {
        return jpeg_encode_file(file, image, quality, segments.data, segments.size);
    });
}

int encode_jpg_reusing(const char *path, const rgba_image *image, int quality,
                       jpeg_coefficients *held, const image_metadata *carried) {
    return write_jpeg_file(path, image, carried, [&](FILE *file, const mem_sink &segments) {
        bool subsample = jpeg_subsamples(quality);
        if (!held->blocks || held->subsample != subsample) {
            // One chroma mode at a time: the old one goes before the new one is made.
            jpeg_release(held);
            jpeg_result made = jpeg_transform(image, subsample, held);
            if (made != JPEG_OK) return made;
        }
        return jpeg_write_coefficients(file, held, quality, segments.data, segments.size);
    });
}

int32_t png_smallest(const char *path, const rgba_image *image, const image_metadata *carried,
                     bool as_loaded) {
    bool opaque = is_opaque(image);
    bool grey = is_grey(image);
    // Channel counts of the exact layouts, smallest first (0 ends the list);
    // a smaller layout that encoded makes the larger ones pointless.
    int candidates[4] = {};
    if (opaque && grey) {
        candidates[0] = 1, candidates[1] = 3, candidates[2] = 4;
    } else if (opaque) {
        candidates[0] = 3, candidates[1] = 4;
    } else if (grey) {
        candidates[0] = 2, candidates[1] = 4;
    } else {
        candidates[0] = 4;
    }

    mem_sink best = {nullptr, 0, 0}, spare = {nullptr, 0, 0};
    zlib_scratch scratch = {nullptr, nullptr, nullptr, 0};
    int best_channels = 0;
    for (const int *channels = candidates; *channels; ++channels) {
        if (encode_layout(image, *channels, &best, &spare, &scratch)) best_channels = *channels;
        if (*channels <= 3 && best.data && best.size > 0) break;
    }
    free(spare.data);
    zlib_release(&scratch);
    byte_block best_block(best.data, free);
    if (!best_block) {
        set_err("png encode failed: %s", path);
        return -1;
    }

    // What the input carries goes between IHDR and the image data.
    mem_sink chunks = {nullptr, 0, 0};
    byte_block release_chunks(nullptr, free);
    bool made = png_carried_chunks(carried, best_channels <= 2, &chunks);
    release_chunks.reset(chunks.data);
    if (!made) {
        set_err("out of memory");
        return -1;
    }
    uint64_t total = best.size + chunks.size;
    int32_t own_size = -1;
    if (as_loaded && wrote_own_encoding(path, image, FMT_PNG, carried, total, &own_size))
        return own_size;
    if (total > INT32_MAX) {
        set_err("png encode failed: %s", path);
        return -1;
    }

    FILE *file = fopen(path, "wb");
    if (!file) {
        set_err("cannot write %s", path);
        return -1;
    }
    bool written = fwrite(best_block.get(), 1, kPngHeadBytes, file) == kPngHeadBytes &&
                   (!chunks.size || fwrite(chunks.data, 1, chunks.size, file) == chunks.size) &&
                   fwrite(best_block.get() + kPngHeadBytes, 1, best.size - kPngHeadBytes, file) ==
                       best.size - kPngHeadBytes;
    bool closed = fclose(file) == 0;
    if (!written || !closed) {
        set_err("short write %s", path);
        return -1;
    }
    return static_cast<int32_t>(total);
}

int32_t write_sized(const char *path, const rgba_image *image, image_format format,
                    int quality, const image_metadata *carried, bool as_loaded) {
    switch (format) {
    case FMT_JPEG: {
        if (!encode_jpg(path, image, quality, carried)) return -1;
        int32_t size = file_size(path), own_size = -1;
        if (as_loaded && size >= 0 &&
            wrote_own_encoding(path, image, FMT_JPEG, carried, static_cast<uint64_t>(size),
                               &own_size))
            return own_size;
        return size;
    }
    case FMT_PNG:
        return png_smallest(path, image, carried, as_loaded);
    case FMT_BMP: {
        int64_t row_bytes = (int64_t{image->width} * 3 + 3) / 4 * 4;
        if (kBmpHeaderBytes + row_bytes * image->height > kMaxBmpFileBytes) {
            set_err("bmp encode failed: %s", path);
            return -1;
        }
        byte_block rgb(flatten_white(image), free);
        if (!rgb) {
            set_err("out of memory");
            return -1;
        }
        bool written = write_file(path, [&](file_sink *sink) {
            return stbi_write_bmp_to_func(file_write, sink, image->width, image->height, 3,
                                          rgb.get());
        });
        if (!written) {
            set_err("bmp encode failed: %s", path);
            return -1;
        }
        return file_size(path);
    }
    default:
        set_err("cannot encode format %d", static_cast<int>(format));
        return -1;
    }
}

int stage_output(const char *input_path, const char *output_path, staged_output *out) {
    *out = {output_path, nullptr, nullptr, 0, 0, 0};
    struct stat input, output;
    bool same_file = stat(input_path, &input) == 0 && stat(output_path, &output) == 0 &&
                     input.st_dev == output.st_dev && input.st_ino == output.st_ino;
    if (!same_file) return 1;

    // Through a symbolic link the file itself is replaced and the link kept.
    std::unique_ptr<char, decltype(&free)> replaced(realpath(output_path, nullptr), free);
    if (!replaced) {
        out->path = nullptr;
        return 0;
    }
    // A hidden name without an image extension: a batch never picks it up.
    const char *name = strrchr(replaced.get(), '/') + 1;  // a real path is absolute
    int dir_length = static_cast<int>(name - replaced.get());
    size_t length = strlen(replaced.get()) + sizeof "/..pixtrim-XXXXXX";
    std::unique_ptr<char, decltype(&free)> staged(static_cast<char *>(malloc(length)), free);
    if (staged) snprintf(staged.get(), length, "%.*s.%s.pixtrim-XXXXXX", dir_length,
                         replaced.get(), name);
    int fd = staged ? mkstemp(staged.get()) : -1;
    if (fd < 0) {
        out->path = nullptr;
        return 0;
    }
    close(fd);
    out->path = staged.get();
    out->staged = staged.release();
    out->replaced = replaced.release();
    out->mode = output.st_mode & 07777;
    out->owner = output.st_uid;
    out->group = output.st_gid;
    return 1;
}

namespace {

// The rename must not reach the disk before the bytes it publishes.
bool flush_to_disk(const char *path) {
    int fd = open(path, O_RDONLY);
    if (fd < 0) return false;
    bool synced = fsync(fd) == 0;
    return close(fd) == 0 && synced;
}

}  // namespace

int finish_output(staged_output *out, bool keep) {
    int result = 1;
    if (out->staged) {
        if (keep) {
            // Only root may give a file away; anyone else keeps owning the result.
            int given_away = chown(out->staged, out->owner, out->group);
            (void)given_away;
            bool in_place = flush_to_disk(out->staged) && chmod(out->staged, out->mode) == 0 &&
                            rename(out->staged, out->replaced) == 0;
            if (!in_place) result = 0;
        }
        if (!keep || !result) unlink(out->staged);
    }
    free(out->staged);
    free(out->replaced);
    *out = {nullptr, nullptr, nullptr, 0, 0, 0};
    return result;
}
