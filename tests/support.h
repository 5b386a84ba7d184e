// Fixtures shared by the tests: generated pictures, a scratch directory, and
// an independent route (stb's decoder on the bytes on disk) to check output.
#ifndef PIXTRIM_TEST_SUPPORT_H
#define PIXTRIM_TEST_SUPPORT_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include <stb_image.h>
#include <stb_image_write.h>

namespace test_support {

namespace fs = std::filesystem;

struct picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgba;  // width * height * 4

    uint8_t *at(int x, int y) { return &rgba[(static_cast<size_t>(y) * width + x) * 4]; }
    const uint8_t *at(int x, int y) const {
        return &rgba[(static_cast<size_t>(y) * width + x) * 4];
    }
};

// A picture whose pixel (x, y) is fill(x, y) as {r, g, b, a}.
inline picture make_picture(int width, int height,
                            const std::function<std::vector<uint8_t>(int, int)> &fill) {
    picture p;
    p.width = width;
    p.height = height;
    p.rgba.reserve(static_cast<size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::vector<uint8_t> px = fill(x, y);
            p.rgba.insert(p.rgba.end(), px.begin(), px.end());
        }
    return p;
}

// Smooth colour gradients with a little texture: compresses like a photo.
inline picture photo_like(int width, int height) {
    return make_picture(width, height, [](int x, int y) {
        uint8_t n = static_cast<uint8_t>((x * 7919 + y * 104729) % 23);
        return std::vector<uint8_t>{static_cast<uint8_t>(x * 3 + n), static_cast<uint8_t>(y * 2 + n),
                                    static_cast<uint8_t>((x + y) + n), 255};
    });
}

// The picture's RGB composited onto white, c * A / 255 + 255 - A with integer
// division, computed here rather than with the library's routine.
inline std::vector<uint8_t> flattened_rgb(const picture &p) {
    std::vector<uint8_t> rgb;
    rgb.reserve(p.rgba.size() / 4 * 3);
    for (size_t i = 0; i < p.rgba.size(); i += 4) {
        unsigned alpha = p.rgba[i + 3];
        for (int c = 0; c < 3; ++c)
            rgb.push_back(static_cast<uint8_t>(p.rgba[i + c] * alpha / 255 + 255 - alpha));
    }
    return rgb;
}

inline std::vector<uint8_t> read_bytes(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_bytes(const fs::path &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void append_to(void *context, void *data, int size) {
    auto *out = static_cast<std::vector<uint8_t> *>(context);
    out->insert(out->end(), static_cast<uint8_t *>(data), static_cast<uint8_t *>(data) + size);
}

// Input files in each format, made with stb's encoder (not the library's).
inline void save_png(const fs::path &path, const picture &p) {
    std::vector<uint8_t> bytes;
    stbi_write_png_to_func(append_to, &bytes, p.width, p.height, 4, p.rgba.data(), p.width * 4);
    write_bytes(path, bytes);
}

inline void save_rgb(const fs::path &path, const picture &p, bool jpeg) {
    std::vector<uint8_t> rgb;
    for (size_t i = 0; i < p.rgba.size(); i += 4) rgb.insert(rgb.end(), &p.rgba[i], &p.rgba[i] + 3);
    std::vector<uint8_t> bytes;
    if (jpeg)
        stbi_write_jpg_to_func(append_to, &bytes, p.width, p.height, 3, rgb.data(), 90);
    else
        stbi_write_bmp_to_func(append_to, &bytes, p.width, p.height, 3, rgb.data());
    write_bytes(path, bytes);
}
inline void save_jpg(const fs::path &path, const picture &p) { save_rgb(path, p, true); }
inline void save_bmp(const fs::path &path, const picture &p) { save_rgb(path, p, false); }

// What a file on disk decodes to, as RGBA, with the channel count it carries.
struct decoded {
    bool ok = false;
    int channels_in_file = 0;
    picture image;
};

inline decoded decode_file(const fs::path &path) {
    decoded d;
    std::vector<uint8_t> bytes = read_bytes(path);
    int w = 0, h = 0, n = 0;
    uint8_t *px = bytes.empty() ? nullptr
                                : stbi_load_from_memory(bytes.data(), static_cast<int>(bytes.size()),
                                                        &w, &h, &n, 4);
    if (!px) return d;
    d.ok = true;
    d.channels_in_file = n;
    d.image.width = w;
    d.image.height = h;
    d.image.rgba.assign(px, px + static_cast<size_t>(w) * h * 4);
    stbi_image_free(px);
    return d;
}

// Colour type and bit depth from a PNG file's IHDR chunk; {-1, -1} if not a PNG.
struct png_layout {
    int colour_type = -1;
    int bit_depth = -1;
};

inline png_layout png_layout_of(const fs::path &path) {
    std::vector<uint8_t> b = read_bytes(path);
    if (b.size() < 26 || b[0] != 0x89 || b[1] != 'P') return {};
    return {b[25], b[24]};
}

// A fresh directory under the system's temporary directory, removed with
// everything in it when the fixture goes away.
struct scratch_dir {
    fs::path path;
    scratch_dir() {
        std::string tmpl = (fs::temp_directory_path() / "pixtrim-test-XXXXXX").string();
        path = mkdtemp(tmpl.data());
    }
    ~scratch_dir() {
        std::error_code ignored;
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(path, ignored);
    }
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;
    std::string operator/(const std::string &name) const { return (path / name).string(); }
};

// The statistics record expected after reading in_size bytes and writing
// out_size, built from the documented format rather than the library's code.
inline std::string stats_record(long in_size, long out_size) {
    char text[256];
    double ratio = static_cast<double>(in_size - out_size) * 100.0 / static_cast<double>(in_size);
    snprintf(text, sizeof text,
             "{\"input_size\":%ld,\"output_size\":%ld,\"ratio\":%.2f,\"saved_bytes\":%ld}",
             in_size, out_size, ratio, in_size - out_size);
    return text;
}

// Bytes of address space this process holds now: what an RLIMIT_AS cap is
// measured against.
inline size_t address_space_in_use() {
    long pages = 0;
    FILE *statm = fopen("/proc/self/statm", "r");
    if (statm) {
        if (fscanf(statm, "%ld", &pages) != 1) pages = 0;
        fclose(statm);
    }
    return static_cast<size_t>(pages) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

inline long file_length(const fs::path &path) { return static_cast<long>(fs::file_size(path)); }

}  // namespace test_support

#endif
