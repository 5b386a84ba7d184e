#include "codec/load.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "codec/bmp/bmp.h"
#include "codec/guard.h"
#include "codec/memory.h"
#include "codec/metadata.h"
#include "codec/orient.h"
#include "codec/png/png_read.h"
#include "state.h"

namespace {

using byte_block = std::unique_ptr<uint8_t, decltype(&free)>;

struct file_closer {
    void operator()(FILE *file) const { fclose(file); }
};
using file_handle = std::unique_ptr<FILE, file_closer>;

// Opening a FIFO or a device would block or never end, so only regular files
// are read.
bool is_regular_file(const char *path) {
    struct stat info;
    return stat(path, &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

image_format detect_format(const uint8_t *bytes, int32_t size) {
    if (size < 2) return FMT_NONE;
    if (bytes[0] == 0xFF && bytes[1] == 0xD8) return FMT_JPEG;
    if (bytes[0] == 0x89 && size > 7 && bytes[1] == 'P' && bytes[2] == 'N' && bytes[3] == 'G')
        return FMT_PNG;
    if (bytes[0] == 'B' && bytes[1] == 'M') return FMT_BMP;
    return FMT_NONE;
}

int load_rgba(const char *path, rgba_image *image, image_format *format,
              image_metadata *metadata) {
    int32_t size = is_regular_file(path) ? file_size(path) : -1;
    if (size <= 0) {
        set_err("cannot read %s", path);
        return 0;
    }
    file_handle file(fopen(path, "rb"));
    byte_block bytes(
        file ? static_cast<uint8_t *>(allocate_large(static_cast<size_t>(size))) : nullptr, free);
    if (!bytes || fread(bytes.get(), 1, static_cast<size_t>(size), file.get()) !=
                      static_cast<size_t>(size)) {
        set_err("cannot read %s", path);
        return 0;
    }
    file.reset();

    image_format detected = detect_format(bytes.get(), size);
    if (detected == FMT_NONE) {
        set_err("unsupported image format: %s", path);
        return 0;
    }

    // What the file says about its display is read while its bytes are here.
    image_metadata found = {1, nullptr, 0, false, nullptr, 0, 0, 0, nullptr, 0};
    if (metadata)
        read_metadata(bytes.get(), static_cast<size_t>(size), detected, &found);
    else
        found.orientation = read_orientation(bytes.get(), static_cast<size_t>(size), detected);
    std::unique_ptr<image_metadata, metadata_releaser> release_found(&found);

    rgba_image decoded = {0, 0, nullptr};
    const char *reason = decode_picture(bytes.get(), size, detected, &decoded);
    if (reason) {
        set_err("cannot decode %s (%s)", path, reason);
        return 0;
    }
    // The file itself is handed on with the metadata, as its own encoding
    // may be the smallest output (write.h); not for a picture turned
    // upright, which the file does not hold as it is.
    if (metadata && found.orientation == 1) {
        found.input = bytes.release();
        found.input_size = static_cast<size_t>(size);
    }
    bytes.reset();

    // Every operation works on the picture as it is shown.
    if (!turn_upright(&decoded, found.orientation)) {
        free(decoded.pixels);
        set_err("cannot decode %s (outofmem)", path);
        return 0;
    }

    *image = decoded;
    *format = detected;
    if (metadata) *metadata = *release_found.release();
    clear_err();
    return 1;
}

const char *decode_picture(const uint8_t *bytes, int32_t size, image_format format,
                           rgba_image *picture) {
    if (const char *hazard = decode_hazard(bytes, size, format)) return hazard;
    // Plain BMPs and PNGs are read by our own readers, which fail only when
    // memory runs out; everything else goes to the decoder.
    rgba_image decoded = {0, 0, nullptr};
    const char *reason = "outofmem";
    plain_result plain = format == FMT_BMP   ? bmp_decode_plain(bytes, size, &decoded)
                         : format == FMT_PNG ? png_decode_plain(bytes, size, &decoded)
                                             : NOT_PLAIN;
    if (plain == NOT_PLAIN)
        decoded.pixels = decode_rgba(bytes, size, &decoded.width, &decoded.height, &reason);
    if (!decoded.pixels) return reason;
    // The BMP decoder accepts a side of 0; nothing downstream can handle one.
    if (decoded.width <= 0 || decoded.height <= 0) {
        free(decoded.pixels);
        return "empty image";
    }
    *picture = decoded;
    return nullptr;
}

image_format format_from_path(const char *path, image_format fallback) {
    const char *dot = nullptr;
    for (const char *c = path; *c; ++c)
        if (*c == '.') dot = c;
    if (!dot || !dot[1]) return fallback;
    const char *ext = dot + 1;
    if (ascii_ieq(ext, "jpg") || ascii_ieq(ext, "jpeg")) return FMT_JPEG;
    if (ascii_ieq(ext, "png")) return FMT_PNG;
    if (ascii_ieq(ext, "bmp")) return FMT_BMP;
    return fallback;
}

bool ascii_ieq(const char *a, const char *b) {
    for (; *a && *b; ++a, ++b)
        if ((*a | 0x20) != (*b | 0x20)) return false;
    return *a == *b;
}
