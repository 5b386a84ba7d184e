// Generated benchmark pictures: made here so every machine measures the same
// pixels, and shaped like what the library meets in use (photos compress
// to about half in PNG, icons are small with flat areas and an alpha edge).
#ifndef PIXTRIM_BENCH_PICTURES_H
#define PIXTRIM_BENCH_PICTURES_H

#include <cmath>
#include <cstdint>
#include <vector>

namespace bench_pictures {

struct rgba_pixels {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgba;  // width * height * 4
};

// Small per-pixel sensor noise in -range..range, the same on every run.
inline int noise(uint32_t x, uint32_t y, uint32_t c, int range) {
    uint32_t h = x * 0x9E3779B1u ^ y * 0x85EBCA77u ^ c * 0xC2B2AE3Du;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    return static_cast<int>(h % (2 * range + 1)) - range;
}

inline uint8_t clamp_byte(double v) {
    return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

// Soft light, a few sharp-edged shapes and sensor noise, opaque.
inline rgba_pixels photo(int width, int height) {
    rgba_pixels p{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height * 4)};
    uint8_t *o = p.rgba.data();
    for (int y = 0; y < height; ++y) {
        double fy = static_cast<double>(y) / height;
        for (int x = 0; x < width; ++x, o += 4) {
            double fx = static_cast<double>(x) / width;
            double light = 90 + 70 * std::sin(fx * 5.1 + fy * 2.3) * std::cos(fy * 4.2 - fx);
            bool in_disc = (fx - 0.6) * (fx - 0.6) + (fy - 0.4) * (fy - 0.4) < 0.04;
            bool in_band = std::fabs(fy - 0.8 - 0.05 * std::sin(fx * 20)) < 0.04;
            for (int c = 0; c < 3; ++c) {
                double v = light + 25 * std::sin(fx * (9 + c * 3) + fy * (7 - c));
                if (in_disc) v = 200 - 40 * c + 30 * fy;
                if (in_band) v = 40 + 50 * c;
                o[c] = clamp_byte(v + noise(x, y, c, 3));
            }
            o[3] = 255;
        }
    }
    return p;
}

// The photo with fine texture (foliage, fabric) and stronger noise over it:
// as much detail as a real 4 MP camera photo, which JPEG finds far harder.
inline rgba_pixels textured(int width, int height) {
    rgba_pixels p = photo(width, height);
    uint8_t *o = p.rgba.data();
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x, o += 4) {
            double grain = 14 * std::sin(x * 0.9 + y * 0.35) * std::sin(y * 0.7 - x * 0.2);
            for (int c = 0; c < 3; ++c) o[c] = clamp_byte(o[c] + grain + noise(x, y, c + 3, 9));
        }
    return p;
}

// The photo with a soft-edged transparent hole and a half-transparent corner.
inline rgba_pixels transparent(int width, int height) {
    rgba_pixels p = photo(width, height);
    uint8_t *o = p.rgba.data();
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x, o += 4) {
            double dx = static_cast<double>(x) / width - 0.35, dy = static_cast<double>(y) / height - 0.5;
            double r = std::sqrt(dx * dx + dy * dy);
            if (r < 0.25) o[3] = clamp_byte((r - 0.2) * 255 / 0.05);
            if (x > width * 3 / 4 && y > height * 3 / 4) o[3] = 128;
        }
    return p;
}

// The photo's luminance in every channel.
inline rgba_pixels grey(int width, int height) {
    rgba_pixels p = photo(width, height);
    for (size_t i = 0; i < p.rgba.size(); i += 4) {
        uint8_t l = static_cast<uint8_t>((p.rgba[i] * 77 + p.rgba[i + 1] * 150 + p.rgba[i + 2] * 29) >> 8);
        p.rgba[i] = p.rgba[i + 1] = p.rgba[i + 2] = l;
    }
    return p;
}

// A flat-coloured round badge with a ring, on a transparent background.
inline rgba_pixels icon(int side, int seed) {
    rgba_pixels p{side, side, std::vector<uint8_t>(static_cast<size_t>(side) * side * 4)};
    uint8_t *o = p.rgba.data();
    double centre = (side - 1) / 2.0;
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x, o += 4) {
            double r = std::hypot(x - centre, y - centre) / centre;
            bool ring = r > 0.7 && r < 0.8;
            o[0] = static_cast<uint8_t>(ring ? 255 : 40 + seed * 11);
            o[1] = static_cast<uint8_t>(ring ? 255 : 200 - seed * 7);
            o[2] = static_cast<uint8_t>(ring ? 255 : 90 + seed * 5);
            o[3] = clamp_byte((1.0 - r) * centre * 255);
        }
    return p;
}

}  // namespace bench_pictures

#endif
