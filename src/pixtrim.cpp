// The exported operations and the library's state: the last-error text and
// the statistics record.
#include "pixtrim.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "codec/load.h"
#include "codec/resize.h"
#include "codec/write.h"
#include "state.h"

namespace {

char s_err[512];
char s_stats[256] = "{}";

using byte_block = std::unique_ptr<uint8_t, decltype(&free)>;
using text_block = std::unique_ptr<char, decltype(&free)>;

// Drops a staged output unless the operation puts it in place first.
struct output_discarder {
    void operator()(staged_output *out) const { finish_output(out, false); }
};
using output_stage = std::unique_ptr<staged_output, output_discarder>;

using carried_metadata = std::unique_ptr<image_metadata, metadata_releaser>;

struct coefficients_releaser {
    void operator()(jpeg_coefficients *held) const { jpeg_release(held); }
};

void reset_texts() {
    s_err[0] = '\0';
    strcpy(s_stats, "{}");
}

void write_stats(int32_t input_size, int32_t output_size) {
    int32_t saved = input_size - output_size;
    double ratio = static_cast<double>(saved) * 100.0 / static_cast<double>(input_size);
    snprintf(s_stats, sizeof s_stats,
             "{\"input_size\":%ld,\"output_size\":%ld,\"ratio\":%.2f,\"saved_bytes\":%ld}",
             static_cast<long>(input_size), static_cast<long>(output_size), ratio,
             static_cast<long>(saved));
}

int clamp_quality(int quality) {
    return quality > 100 ? 100 : quality < 1 ? 1 : quality;
}

// One side scaled and rounded to the nearest pixel, never below 1.
int32_t scaled_side(int32_t side, double scale) {
    int32_t scaled = static_cast<int32_t>(side * scale + 0.5);
    return scaled > 0 ? scaled : 1;
}

// The shape shared by lossless and quality compression: load, measure, write
// (shrunk to the quality's share of pixels for PNG), record statistics.
int compress_file(const char *input_path, const char *output_path, int quality,
                  const char *operation) {
    if (!input_path || !output_path) {
        set_err("%s: NULL input/output", operation);
        return 0;
    }
    rgba_image loaded;
    image_format input_format;
    image_metadata metadata;
    if (!load_rgba(input_path, &loaded, &input_format, &metadata)) return 0;
    byte_block loaded_pixels(loaded.pixels, free);
    carried_metadata metadata_held(&metadata);

    int32_t input_size = file_size(input_path);
    image_format output_format = format_from_path(output_path, input_format);
    // The input's own encoding competes only in its own format.
    if (output_format != input_format) release_input(&metadata);

    // PNG cannot carry a quality, so we keep that share of the pixels instead.
    const rgba_image *chosen = &loaded;
    rgba_image shrunk = {0, 0, nullptr};
    byte_block shrunk_pixels(nullptr, free);
    if (output_format == FMT_PNG && quality < 100) {
        double scale = sqrt(quality / 100.0);
        int32_t width = scaled_side(loaded.width, scale);
        int32_t height = scaled_side(loaded.height, scale);
        if (height < loaded.height || width < loaded.width) {
            if (!resize_nearest(&loaded, width, height, &shrunk)) return 0;
            shrunk_pixels.reset(shrunk.pixels);
            chosen = &shrunk;
        }
    }

    staged_output out;
    int32_t written = -1;
    if (stage_output(input_path, output_path, &out))
        written = write_sized(out.path, chosen, output_format, quality, &metadata,
                              chosen == &loaded);
    if (!finish_output(&out, written >= 0)) written = -1;
    if (written < 0) {
        set_err("%s: encode failed for %s", operation, output_path);
        return 0;
    }
    if (input_size > 0) write_stats(input_size, written);
    return 1;
}

int target_size(const char *input_path, const char *output_path, int32_t target_bytes) {
    if (!input_path || !output_path) {
        set_err("target_size: NULL input/output");
        return 0;
    }
    if (target_bytes <= 0) {
        set_err("target_size: target_bytes must be > 0");
        return 0;
    }
    rgba_image loaded;
    image_format input_format;
    image_metadata metadata;
    if (!load_rgba(input_path, &loaded, &input_format, &metadata)) return 0;
    byte_block loaded_pixels(loaded.pixels, free);
    carried_metadata metadata_held(&metadata);

    int32_t input_size = file_size(input_path);
    image_format output_format = format_from_path(output_path, input_format);
    // The input's own encoding competes only in its own format.
    if (output_format != input_format) release_input(&metadata);
    int32_t last_size = -1;
    bool fits = false;

    staged_output out;
    if (!stage_output(input_path, output_path, &out)) {
        set_err("target_size: encode failed");
        return 0;
    }
    output_stage stage(&out);
    // Every probe and step goes to the stage; an in-place result replaces the
    // original only once it fits.
    const char *write_path = out.path;

    if (output_format == FMT_JPEG) {
        // Bisection over the quality; every probe is measured on disk. The
        // picture is transformed once per chroma mode the probes need.
        int lo = 1, hi = 100, best_quality = 0, final_quality = 0;
        int32_t quarter = target_bytes / 4;
        jpeg_coefficients held = {0, 0, false, 0, nullptr};
        std::unique_ptr<jpeg_coefficients, coefficients_releaser> release_held(&held);
        auto probe = [&](int quality) {
            return encode_jpg_reusing(write_path, &loaded, quality, &held, &metadata)
                       ? file_size(write_path)
                       : -1;
        };
        int32_t final_size = 0;
        while (lo <= hi) {
            int mid = (lo + hi) / 2;
            int32_t size = probe(mid);
            if (size < 0) {
                set_err("target_size: encode failed");
                return 0;
            }
            if (size > target_bytes) {
                hi = mid - 1;
            } else if (size <= quarter) {
                final_quality = mid;  // fits by a wide margin: stop here
                final_size = size;
                break;
            } else {
                best_quality = mid;
                last_size = size;
                lo = mid + 1;
            }
        }
        if (!final_quality) final_quality = best_quality, final_size = last_size;
        // The input's own encoding goes out instead when it fits and beats
        // the search's result, or when nothing fitted.
        uint64_t to_beat = final_quality > 0 ? static_cast<uint64_t>(final_size)
                                             : static_cast<uint64_t>(target_bytes) + 1;
        int32_t own_size = -1;
        if (wrote_own_encoding(write_path, &loaded, FMT_JPEG, &metadata, to_beat, &own_size)) {
            last_size = own_size;
            fits = own_size >= 0;
        } else if (final_quality > 0) {
            // The file on disk may hold a later, larger probe: write the chosen one again.
            last_size = probe(final_quality);
            fits = last_size >= 0 && last_size <= target_bytes;
        }
    } else {
        // PNG and BMP carry no quality: step the picture size down instead.
        static const int kLadderPercents[] = {100, 80, 60, 40, 20};
        for (int percent : kLadderPercents) {
            int32_t size;
            if (percent == 100) {
                size = write_sized(write_path, &loaded, output_format, 100, &metadata, true);
            } else {
                double scale = percent / 100.0;
                rgba_image shrunk;
                if (!resize_nearest(&loaded, scaled_side(loaded.width, scale),
                                    scaled_side(loaded.height, scale), &shrunk))
                    continue;
                byte_block shrunk_pixels(shrunk.pixels, free);
                size = write_sized(write_path, &shrunk, output_format, 100, &metadata);
            }
            if (size < 0) continue;
            if (size <= target_bytes) {
                if (!finish_output(stage.release(), true)) {
                    set_err("target_size: encode failed");
                    return 0;
                }
                if (size > 0 && input_size > 0) write_stats(input_size, size);
                return 1;
            }
            last_size = size;
        }
    }

    // Nothing measured: what is on disk tells, but an empty file (the staged
    // one no attempt wrote to) is no attempt at all.
    if (last_size < 0) {
        last_size = file_size(write_path);
        if (last_size == 0) last_size = -1;
    }
    if (fits && !finish_output(stage.release(), true)) {
        set_err("target_size: encode failed");
        return 0;
    }
    if (last_size > 0 && input_size > 0) write_stats(input_size, last_size);
    if (fits) return 1;
    set_err("target_size: could not get output <= %d bytes (best: %ld)", target_bytes,
            static_cast<long>(last_size));
    return 0;
}

// "dir/name" in a block of its own, never cut short; null when out of memory.
text_block join_path(const char *dir, const char *name) {
    size_t length = strlen(dir) + 1 + strlen(name);
    text_block path(static_cast<char *>(malloc(length + 1)), free);
    if (path) snprintf(path.get(), length + 1, "%s/%s", dir, name);
    return path;
}

struct dir_closer {
    void operator()(DIR *dir) const { closedir(dir); }
};

int batch(const char *input_dir, const char *output_dir, int quality) {
    if (!input_dir || !output_dir) {
        set_err("batch: NULL input/output dir");
        return -1;
    }
    std::unique_ptr<DIR, dir_closer> listing(opendir(input_dir));
    if (!listing) {
        set_err("batch: cannot open input dir %s", input_dir);
        return -1;
    }
    // The names are taken in full before anything is written: a file replaced
    // in the directory being listed could otherwise be listed again.
    std::vector<std::string> names;
    try {
        while (const dirent *entry = readdir(listing.get())) {
            const char *name = entry->d_name;
            if (ascii_ieq(name, ".") || ascii_ieq(name, "..")) continue;
            if (format_from_path(name, FMT_NONE) == FMT_NONE) continue;
            names.emplace_back(name);
        }
    } catch (const std::bad_alloc &) {
        set_err("batch: cannot open input dir %s", input_dir);
        return -1;
    }
    listing.reset();

    quality = clamp_quality(quality);
    mkdir(output_dir, 0755);  // an existing directory is fine; other problems fail per file

    int compressed = 0, failed = 0;
    for (const std::string &name : names) {
        text_block input_path = join_path(input_dir, name.c_str());
        text_block output_path = join_path(output_dir, name.c_str());
        if (input_path && output_path &&
            pixtrim_quality(input_path.get(), output_path.get(), quality) == 1) {
            ++compressed;
        } else {
            ++failed;
        }
    }
    if (compressed == 0 && failed == 0) {
        set_err("batch: no images found in %s", input_dir);
        return 0;
    }
    return compressed > 0 ? compressed : -1;
}

}  // namespace

const char *set_err(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vsnprintf(s_err, sizeof s_err, fmt, args);
    va_end(args);
    return s_err;
}

void clear_err() { s_err[0] = '\0'; }

int32_t file_size(const char *path) {
    FILE *file = fopen(path, "rb");
    if (!file) return -1;
    off_t size = fseeko(file, 0, SEEK_END) == 0 ? ftello(file) : -1;
    fclose(file);
    // A size past 2 GiB would wrap in the 32-bit sizes used everywhere.
    return size >= 0 && size <= INT32_MAX ? static_cast<int32_t>(size) : -1;
}

extern "C" {

int pixtrim_init(void) noexcept {
    reset_texts();
    return 1;
}

void pixtrim_cleanup(void) noexcept { reset_texts(); }

const char *pixtrim_stats(void) noexcept { return s_stats; }

const char *pixtrim_last_error(void) noexcept { return s_err; }

int pixtrim_lossless(const char *input_path, const char *output_path) noexcept {
    return compress_file(input_path, output_path, 100, "lossless");
}

int pixtrim_quality(const char *input_path, const char *output_path, int quality) noexcept {
    return compress_file(input_path, output_path, clamp_quality(quality), "quality");
}

int pixtrim_target_size(const char *input_path, const char *output_path,
                        int target_bytes) noexcept {
    return target_size(input_path, output_path, target_bytes);
}

int pixtrim_batch(const char *input_dir, const char *output_dir, int quality) noexcept {
    return batch(input_dir, output_dir, quality);
}

}  // extern "C"
