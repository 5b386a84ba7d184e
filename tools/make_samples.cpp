// pixtrim-samples: writes a few generated pictures to try the library on,
// so the demo needs no image files from anywhere else:
//   photo.{png,jpg,bmp}        a photo-like RGB scene
//   transparent.{png,bmp}      a coloured disc on a transparent background
//   grey.{png,jpg,bmp}         a greyscale picture
// JPEG cannot carry alpha, so the transparent picture has no JPEG.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#define STBI_WRITE_NO_STDIO
#include <stb_image_write.h>

namespace {

struct sample {
    int width;
    int height;
    int channels;  // 1 grey, 3 RGB, 4 RGBA
    std::vector<uint8_t> pixels;
};

// Repeatable noise, so every run writes the same files.
uint32_t s_noise_state = 0x9e3779b9u;

int noise(int amplitude) {
    s_noise_state ^= s_noise_state << 13;
    s_noise_state ^= s_noise_state >> 17;
    s_noise_state ^= s_noise_state << 5;
    return static_cast<int>(s_noise_state % static_cast<uint32_t>(2 * amplitude + 1)) - amplitude;
}

uint8_t clamp_byte(double value) {
    return static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value);
}

// Sky, sun, hills and a little sensor noise: compresses like a photograph.
sample photo(int width, int height) {
    sample s{width, height, 3, std::vector<uint8_t>(static_cast<size_t>(width) * height * 3)};
    double sun_x = width * 0.72, sun_y = height * 0.28, sun_r = height * 0.11;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            double ridge = height * (0.62 + 0.08 * sin(x * 0.021) + 0.04 * sin(x * 0.067 + 1.3));
            double r, g, b;
            if (y > ridge) {
                double depth = (y - ridge) / (height - ridge + 1);
                r = 60 + 50 * depth;
                g = 110 + 60 * depth + 12 * sin(x * 0.3) * sin(y * 0.25);
                b = 40 + 20 * depth;
            } else {
                double t = static_cast<double>(y) / height;
                r = 90 + 120 * t;
                g = 150 + 70 * t;
                b = 235 - 30 * t;
                double d = hypot(x - sun_x, y - sun_y);
                if (d < sun_r * 2.5) {
                    double glow = d < sun_r ? 1.0 : (sun_r * 2.5 - d) / (sun_r * 1.5);
                    r += (255 - r) * glow;
                    g += (240 - g) * glow;
                    b += (180 - b) * glow;
                }
            }
            uint8_t *px = &s.pixels[(static_cast<size_t>(y) * width + x) * 3];
            px[0] = clamp_byte(r + noise(3));
            px[1] = clamp_byte(g + noise(3));
            px[2] = clamp_byte(b + noise(3));
        }
    }
    return s;
}

// A disc shaded by angle with a soft edge, a half-transparent ring, and
// fully transparent corners.
sample transparent(int side) {
    sample s{side, side, 4, std::vector<uint8_t>(static_cast<size_t>(side) * side * 4)};
    double centre = side / 2.0, radius = side * 0.38;
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            double dx = x - centre, dy = y - centre, d = hypot(dx, dy);
            double angle = atan2(dy, dx);
            double alpha = d < radius ? 255 : d < radius + 6 ? 255 * (radius + 6 - d) / 6 : 0;
            if (d > side * 0.44 && d < side * 0.48) alpha = 128;
            uint8_t *px = &s.pixels[(static_cast<size_t>(y) * side + x) * 4];
            px[0] = clamp_byte(128 + 127 * cos(angle));
            px[1] = clamp_byte(128 + 127 * cos(angle + 2.094));
            px[2] = clamp_byte(128 + 127 * cos(angle + 4.189));
            px[3] = clamp_byte(alpha);
        }
    }
    return s;
}

// A radial gradient with stripes and noise, one channel.
sample grey(int width, int height) {
    sample s{width, height, 1, std::vector<uint8_t>(static_cast<size_t>(width) * height)};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            double d = hypot(x - width * 0.4, y - height * 0.5) / width;
            double value = 230 - 300 * d + 20 * sin(x * 0.09);
            s.pixels[static_cast<size_t>(y) * width + x] = clamp_byte(value + noise(5));
        }
    }
    return s;
}

struct checked_file {
    FILE *file;
    bool failed;
};

void write_to_file(void *context, void *bytes, int count) {
    checked_file *out = static_cast<checked_file *>(context);
    if (fwrite(bytes, 1, static_cast<size_t>(count), out->file) != static_cast<size_t>(count))
        out->failed = true;
}

// Writes one sample in the format its extension names; false on any error.
bool save(const std::string &path, const sample &s) {
    checked_file out = {fopen(path.c_str(), "wb"), false};
    if (!out.file) return false;
    const std::string ext = path.substr(path.rfind('.') + 1);
    int encoded = 0;
    if (ext == "png") {
        encoded = stbi_write_png_to_func(write_to_file, &out, s.width, s.height, s.channels,
                                         s.pixels.data(), s.width * s.channels);
    } else if (ext == "jpg") {
        encoded = stbi_write_jpg_to_func(write_to_file, &out, s.width, s.height, s.channels,
                                         s.pixels.data(), 92);
    } else if (ext == "bmp") {
        encoded = stbi_write_bmp_to_func(write_to_file, &out, s.width, s.height, s.channels,
                                         s.pixels.data());
    }
    bool closed = fclose(out.file) == 0;
    return encoded && closed && !out.failed;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: pixtrim-samples OUTDIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    const sample pictures[] = {photo(640, 480), transparent(320), grey(480, 360)};
    const struct {
        const char *name;
        const sample &picture;
    } files[] = {
        {"photo.png", pictures[0]},       {"photo.jpg", pictures[0]}, {"photo.bmp", pictures[0]},
        {"transparent.png", pictures[1]}, {"transparent.bmp", pictures[1]},
        {"grey.png", pictures[2]},        {"grey.jpg", pictures[2]},  {"grey.bmp", pictures[2]},
    };
    for (const auto &file : files) {
        const std::string path = dir + "/" + file.name;
        if (!save(path, file.picture)) {
            fprintf(stderr, "pixtrim-samples: cannot write %s\n", path.c_str());
            return 1;
        }
        printf("%s\n", path.c_str());
    }
    return 0;
}
