// How fast each operation is, beside its floor: the same decode and the same
// stb encodes with nothing around them (no file system beyond reading the
// input and writing the output the operation exists for), so library/floor
// is the cost of everything the library adds. Lossless PNG also runs against
// stb's own compressor, the floor before ours.
//
// Counters: MP/s (input megapixels per second) and bytes (output size).
// --pixtrim_once runs every case exactly once, for instruction counts:
//   valgrind --tool=callgrind --collect-atstart=no pixtrim_bench --pixtrim_once
// collects only inside the measured bodies. --pixtrim_write_inputs DIR
// writes the 2 MP photo as PNG, JPEG and BMP, the textured 4 MP photo as
// JPEG and BMP and the 1 MP transparent picture as PNG for other tools, and
// exits. --pixtrim_zlib_path=scalar|sse2|avx2 runs the zlib compressor on
// that path instead of the fastest.
#include <benchmark/benchmark.h>
#include <stb_image.h>
#include <stb_image_write.h>
#include <sys/stat.h>
#include <valgrind/callgrind.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "codec/orient.h"
#include "codec/png/deflate.h"
#include "codec/resize.h"
#include "codec/write.h"
#include "deflate/reference_stb.h"
#include "pictures.h"
#include "pixtrim.h"

namespace {

namespace fs = std::filesystem;
using bytes = std::vector<uint8_t>;
using bench_pictures::rgba_pixels;

fs::path s_scratch;
bool s_once = false;

void append_to(void *context, void *data, int size) {
    auto *out = static_cast<bytes *>(context);
    out->insert(out->end(), static_cast<uint8_t *>(data), static_cast<uint8_t *>(data) + size);
}

bytes read_file(const std::string &path) {
    bytes data;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return data;
    if (fseek(f, 0, SEEK_END) == 0) {
        long size = ftell(f);
        rewind(f);
        data.resize(size > 0 ? static_cast<size_t>(size) : 0);
        data.resize(fread(data.data(), 1, data.size(), f));
    }
    fclose(f);
    return data;
}

void write_file(const std::string &path, const bytes &data) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return;
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
}

// The decoded picture in the record the library's codec functions take.
struct decoded {
    rgba_image image = {0, 0, nullptr};
    decoded() = default;
    explicit decoded(const bytes &file) { load(file); }
    void load(const bytes &file) {
        free(image.pixels);
        int n = 0;
        image.pixels = stbi_load_from_memory(file.data(), static_cast<int>(file.size()),
                                             &image.width, &image.height, &n, 4);
    }
    ~decoded() { free(image.pixels); }
    decoded(const decoded &) = delete;
    decoded &operator=(const decoded &) = delete;
};

// R; R, A; or R, G, B: the layout the PNG encoder gets (RGBA is the picture).
bytes layout_block(const rgba_image &image, int channels) {
    static const int kSources[3][3] = {{0}, {0, 3}, {0, 1, 2}};
    size_t n = static_cast<size_t>(image.width) * image.height;
    bytes out(n * channels);
    uint8_t *o = out.data();
    for (size_t i = 0; i < n; ++i)
        for (int c = 0; c < channels; ++c) *o++ = image.pixels[i * 4 + kSources[channels - 1][c]];
    return out;
}

enum class deflate_kind { ours, stb };

// The six encodes of the PNG optimiser, the smallest kept.
bytes smallest_png(const rgba_image &image, int channels, deflate_kind deflate) {
    bytes block;
    if (channels < 4) block = layout_block(image, channels);
    const uint8_t *pixels = channels < 4 ? block.data() : image.pixels;
    bytes best;
    for (int mode = 0; mode < 6; ++mode) {
        bytes png;
        if (deflate == deflate_kind::stb) {
            png = stb_reference_png(pixels, image.width, image.height, channels, mode, 8);
        } else {
            stbi_write_force_png_filter = mode;
            stbi_write_png_compression_level = 8;
            stbi_write_png_to_func(append_to, &png, image.width, image.height, channels, pixels,
                                   image.width * channels);
        }
        if (best.empty() || png.size() < best.size()) best.swap(png);
    }
    return best;
}

bytes jpeg_of(const rgba_image &image, int quality, bool opaque) {
    bytes jpg;
    if (opaque) {  // stb reads R, G, B and skips A: no copy needed
        stbi_write_jpg_to_func(append_to, &jpg, image.width, image.height, 4, image.pixels, quality);
    } else {
        uint8_t *rgb = flatten_white(&image);
        stbi_write_jpg_to_func(append_to, &jpg, image.width, image.height, 3, rgb, quality);
        free(rgb);
    }
    return jpg;
}

// The quality bisection over in-memory sizes: the same probes and the same
// final re-encode the library makes, without the file system.
bytes jpeg_for_budget(const rgba_image &image, int32_t budget) {
    int lo = 1, hi = 100, best = 0, final_quality = 0;
    while (lo <= hi) {
        int mid = (lo + hi) / 2;
        int32_t size = static_cast<int32_t>(jpeg_of(image, mid, true).size());
        if (size > budget) {
            hi = mid - 1;
        } else if (size <= budget / 4) {
            final_quality = mid;
            break;
        } else {
            best = mid;
            lo = mid + 1;
        }
    }
    if (!final_quality) final_quality = best;
    return jpeg_of(image, final_quality ? final_quality : 1, true);
}

rgba_image shrunk(const rgba_image &image, double side_scale) {
    rgba_image out;
    auto side = [&](int32_t s) {
        int32_t v = static_cast<int32_t>(s * side_scale + 0.5);
        return v > 0 ? v : 1;
    };
    resize_nearest(&image, side(image.width), side(image.height), &out);
    return out;
}

// The size ladder: full size, then 80, 60, 40, 20 percent, until one fits.
bytes png_for_budget(const rgba_image &image, int channels, int32_t budget) {
    bytes png;
    for (int percent : {100, 80, 60, 40, 20}) {
        if (percent == 100) {
            png = smallest_png(image, channels, deflate_kind::ours);
        } else {
            rgba_image small = shrunk(image, percent / 100.0);
            png = smallest_png(small, channels, deflate_kind::ours);
            free(small.pixels);
        }
        if (static_cast<int32_t>(png.size()) <= budget) break;
    }
    return png;
}

// One generated input file, made the first time a case needs it, so a
// filtered run (or one under valgrind) makes only its own pictures.
struct input {
    std::string name;
    std::string ext;
    int channels;  // the PNG layout the optimiser settles on
    std::function<rgba_pixels()> make;
    std::string path;
    int64_t pixels = 0;
    bool opaque() const { return channels != 2 && channels != 4; }
};
using input_ref = std::shared_ptr<input>;

input_ref picture_file(const std::string &name, const std::string &ext, int channels,
                       std::function<rgba_pixels()> make) {
    return std::make_shared<input>(input{name, ext, channels, std::move(make), "", 0});
}

// The picture as a PNG (stb's writer), a JPEG at quality 90 or a 24-bit BMP.
bytes picture_as(const rgba_pixels &p, const std::string &ext) {
    bytes file;
    if (ext == "png") {
        stbi_write_force_png_filter = -1;
        stbi_write_png_compression_level = 8;
        stbi_write_png_to_func(append_to, &file, p.width, p.height, 4, p.rgba.data(), p.width * 4);
    } else if (ext == "jpg") {
        stbi_write_jpg_to_func(append_to, &file, p.width, p.height, 4, p.rgba.data(), 90);
    } else {
        rgba_image image = {p.width, p.height, const_cast<uint8_t *>(p.rgba.data())};
        bytes rgb = layout_block(image, 3);
        stbi_write_bmp_to_func(append_to, &file, p.width, p.height, 3, rgb.data());
    }
    return file;
}

// Writes the file on first use.
const input &ready(const input_ref &in, const fs::path &dir) {
    if (in->pixels) return *in;
    rgba_pixels p = in->make();
    bytes file = picture_as(p, in->ext);
    fs::create_directories(dir);
    in->path = (dir / (in->name + "." + in->ext)).string();
    in->pixels = int64_t{p.width} * p.height;
    write_file(in->path, file);
    return *in;
}

const input &ready(const input_ref &in) { return ready(in, s_scratch / "in"); }

std::string output_path(const std::string &name) { return (s_scratch / ("out-" + name)).string(); }

size_t library_size(int ok, const std::string &out) {
    if (ok != 1) fprintf(stderr, "library call failed: %s\n", pixtrim_last_error());
    struct stat st;
    return stat(out.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

// A case: prepare makes its inputs and returns the pixels one run handles;
// body is one run, measured (and the only code callgrind counts).
void add(const std::string &name, std::function<int64_t()> prepare, std::function<size_t()> body) {
    auto *b = benchmark::RegisterBenchmark(name.c_str(), [prepare, body](benchmark::State &state) {
        int64_t pixels = prepare();
        size_t out_bytes = 0;
        for (auto _ : state) {
            CALLGRIND_TOGGLE_COLLECT;
            out_bytes = body();
            CALLGRIND_TOGGLE_COLLECT;
            benchmark::ClobberMemory();
        }
        state.counters["MP/s"] = benchmark::Counter(
            static_cast<double>(pixels) * static_cast<double>(state.iterations()) / 1e6,
            benchmark::Counter::kIsRate);
        state.counters["bytes"] = static_cast<double>(out_bytes);
    });
    b->Unit(benchmark::kMillisecond);
    if (s_once) {
        b->Iterations(1);
    } else if (name.find("8MP") == std::string::npos && name.find("stb_floor") == std::string::npos) {
        // Medians of three damp a busy machine; the longest cases run once
        // so the whole run stays under two minutes.
        b->Repetitions(3)->ReportAggregatesOnly(true);
    }
}

void add(const std::string &name, const input_ref &in, std::function<size_t(const input &)> body) {
    add(name, [in] { return ready(in).pixels; }, [in, body] { return body(*in); });
}

void register_cases() {
    namespace bp = bench_pictures;
    auto photo = [](int w, int h) { return [w, h] { return bp::photo(w, h); }; };
    std::vector<input_ref> photos = {picture_file("photo_0.5MP", "png", 3, photo(864, 576)),
                                     picture_file("photo_2MP", "png", 3, photo(1728, 1152)),
                                     picture_file("photo_8MP", "png", 3, photo(3456, 2304))};
    std::vector<input_ref> jpegs = {picture_file("photo_0.5MP", "jpg", 3, photo(864, 576)),
                                    picture_file("photo_2MP", "jpg", 3, photo(1728, 1152)),
                                    picture_file("photo_8MP", "jpg", 3, photo(3456, 2304))};
    auto textured = [](int w, int h) { return [w, h] { return bp::textured(w, h); }; };
    input_ref jpeg_4mp = picture_file("textured_4MP", "jpg", 3, textured(2560, 1600));
    std::vector<input_ref> bmps = {picture_file("photo_2MP", "bmp", 3, photo(1728, 1152)),
                                   picture_file("textured_4MP", "bmp", 3, textured(2560, 1600))};
    input_ref rgba = picture_file("rgba_1MP", "png", 4, [] { return bp::transparent(1024, 1024); });
    input_ref grey = picture_file("grey_1MP", "png", 1, [] { return bp::grey(1024, 1024); });

    for (const input_ref &in : {photos[0], photos[1], photos[2], rgba, grey}) {
        std::string group = "lossless_png/" + in->name, out = output_path(in->name + ".png");
        add(group + "/library", in, [out](const input &i) {
            return library_size(pixtrim_lossless(i.path.c_str(), out.c_str()), out);
        });
        add(group + "/floor", in, [out](const input &i) {
            decoded d(read_file(i.path));
            bytes png = smallest_png(d.image, i.channels, deflate_kind::ours);
            write_file(out, png);
            return png.size();
        });
        if (in == photos[2]) continue;  // stb's compressor at 8 MP would double the run
        add(group + "/stb_floor", in, [out](const input &i) {
            decoded d(read_file(i.path));
            bytes png = smallest_png(d.image, i.channels, deflate_kind::stb);
            write_file(out, png);
            return png.size();
        });
    }

    for (const input_ref &in : {jpegs[0], jpegs[1], jpegs[2], rgba}) {
        std::string group = "quality75_jpeg/" + in->name, out = output_path(in->name + "-q75.jpg");
        add(group + "/library", in, [out](const input &i) {
            return library_size(pixtrim_quality(i.path.c_str(), out.c_str(), 75), out);
        });
        add(group + "/floor", in, [out](const input &i) {
            decoded d(read_file(i.path));
            bytes jpg = jpeg_of(d.image, 75, i.opaque());
            write_file(out, jpg);
            return jpg.size();
        });
    }

    // JPEG from an RGB picture: the library reads the BMP with its own
    // reader, at next to no cost, and the floor with stb's decoder.
    for (const input_ref &in : bmps) {
        std::string group = "quality75_jpeg_from_bmp/" + in->name;
        std::string out = output_path(in->name + "-bmp-q75.jpg");
        add(group + "/library", in, [out](const input &i) {
            return library_size(pixtrim_quality(i.path.c_str(), out.c_str(), 75), out);
        });
        add(group + "/floor", in, [out](const input &i) {
            decoded d(read_file(i.path));
            bytes jpg = jpeg_of(d.image, 75, true);
            write_file(out, jpg);
            return jpg.size();
        });
    }

    {
        // The encoder alone, on a picture decoded beforehand: our writer
        // against stb's, each writing the file.
        auto picture = std::make_shared<decoded>();
        auto prepare = [jpeg_4mp, picture] {
            if (!picture->image.pixels) picture->load(read_file(ready(jpeg_4mp).path));
            return jpeg_4mp->pixels;
        };
        std::string group = "encode_jpeg_q75/" + jpeg_4mp->name, out = output_path("encode-q75.jpg");
        add(group + "/library", prepare, [picture, out] {
            return static_cast<size_t>(write_sized(out.c_str(), &picture->image, FMT_JPEG, 75));
        });
        add(group + "/floor", prepare, [picture, out] {
            bytes jpg = jpeg_of(picture->image, 75, true);
            write_file(out, jpg);
            return jpg.size();
        });
    }

    // Turning a photo upright as its orientation says: 180 degrees in place,
    // a quarter turn into a second picture.
    for (int orientation : {3, 6}) {
        auto picture = std::make_shared<decoded>();
        auto prepare = [jpeg_4mp, picture] {
            if (!picture->image.pixels) picture->load(read_file(ready(jpeg_4mp).path));
            return jpeg_4mp->pixels;
        };
        add("turn_upright/" + jpeg_4mp->name + "/orientation_" + std::to_string(orientation),
            prepare, [picture, orientation] {
                turn_upright(&picture->image, orientation);
                return size_t{0};
            });
    }

    for (int32_t kib : {150, 400}) {
        std::string group = "target_jpeg_" + std::to_string(kib) + "k/" + jpeg_4mp->name;
        std::string out = output_path("budget-" + std::to_string(kib) + "k.jpg");
        int32_t budget = kib * 1024;
        add(group + "/library", jpeg_4mp, [out, budget](const input &i) {
            return library_size(pixtrim_target_size(i.path.c_str(), out.c_str(), budget), out);
        });
        add(group + "/floor", jpeg_4mp, [out, budget](const input &i) {
            decoded d(read_file(i.path));
            bytes jpg = jpeg_for_budget(d.image, budget);
            write_file(out, jpg);
            return jpg.size();
        });
    }

    for (const input_ref &in : {photos[0], photos[1], rgba}) {
        std::string group = "quality50_png/" + in->name, out = output_path(in->name + "-q50.png");
        add(group + "/library", in, [out](const input &i) {
            return library_size(pixtrim_quality(i.path.c_str(), out.c_str(), 50), out);
        });
        add(group + "/floor", in, [out](const input &i) {
            decoded d(read_file(i.path));
            rgba_image half = shrunk(d.image, std::sqrt(0.5));
            bytes png = smallest_png(half, i.channels, deflate_kind::ours);
            free(half.pixels);
            write_file(out, png);
            return png.size();
        });
    }

    for (const input_ref &in : {jpegs[0], jpegs[1]}) {
        // A budget of the quality-75 size makes the bisection run its full course.
        auto budget = std::make_shared<int32_t>(0);
        auto prepare = [in, budget] {
            decoded d(read_file(ready(in).path));
            *budget = static_cast<int32_t>(jpeg_of(d.image, 75, true).size());
            return in->pixels;
        };
        std::string out = output_path(in->name + "-budget.jpg");
        add("target_jpeg/" + in->name + "/library", prepare, [in, budget, out] {
            return library_size(pixtrim_target_size(in->path.c_str(), out.c_str(), *budget), out);
        });
        add("target_jpeg/" + in->name + "/floor", prepare, [in, budget, out] {
            decoded d(read_file(in->path));
            bytes jpg = jpeg_for_budget(d.image, *budget);
            write_file(out, jpg);
            return jpg.size();
        });
    }

    for (const input_ref &in : {photos[0], photos[1]}) {
        // One byte per pixel fits at 60 percent of the sides: three ladder steps.
        std::string out = output_path(in->name + "-budget.png");
        add("target_png/" + in->name + "/library", in, [out](const input &i) {
            int32_t budget = static_cast<int32_t>(i.pixels);
            return library_size(pixtrim_target_size(i.path.c_str(), out.c_str(), budget), out);
        });
        add("target_png/" + in->name + "/floor", in, [out](const input &i) {
            decoded d(read_file(i.path));
            bytes png = png_for_budget(d.image, i.channels, static_cast<int32_t>(i.pixels));
            write_file(out, png);
            return png.size();
        });
    }

    {
        fs::path icons = s_scratch / "icons", icons_out = s_scratch / "icons-out";
        std::vector<input_ref> files;
        for (int k = 0; k < 20; ++k) {
            static const int kSides[] = {32, 48, 64, 96, 128};
            int side = kSides[k % 5];
            files.push_back(picture_file("icon" + std::to_string(k), "png", 4,
                                         [side, k] { return bp::icon(side, k); }));
        }
        auto prepare = [files, icons] {
            int64_t pixels = 0;
            for (const input_ref &f : files) pixels += ready(f, icons).pixels;
            return pixels;
        };
        add("batch_png_q75/icons_20/library", prepare, [icons, icons_out] {
            int n = pixtrim_batch(icons.c_str(), icons_out.c_str(), 75);
            return static_cast<size_t>(n > 0 ? n : 0);
        });
        add("batch_png_q75/icons_20/floor", prepare, [files, icons_out] {
            fs::create_directories(icons_out);
            for (const input_ref &f : files) {
                decoded d(read_file(f->path));
                rgba_image small = shrunk(d.image, std::sqrt(0.75));
                write_file((icons_out / (f->name + ".png")).string(),
                           smallest_png(small, f->channels, deflate_kind::ours));
                free(small.pixels);
            }
            return files.size();
        });
    }
}

// The pictures for the whole-process comparison with other tools
// (compare.sh): the 2 MP photo as PNG, JPEG (quality 90) and BMP, the
// textured 4 MP one as JPEG and BMP, the 1 MP transparent one as PNG.
int write_tool_inputs(const fs::path &dir) {
    fs::create_directories(dir);
    rgba_pixels two = bench_pictures::photo(1728, 1152);
    for (const char *ext : {"png", "jpg", "bmp"})
        write_file((dir / ("photo_2MP." + std::string(ext))).string(), picture_as(two, ext));
    rgba_pixels four = bench_pictures::textured(2560, 1600);
    for (const char *ext : {"jpg", "bmp"})
        write_file((dir / ("textured_4MP." + std::string(ext))).string(), picture_as(four, ext));
    rgba_pixels clear = bench_pictures::transparent(1024, 1024);
    write_file((dir / "rgba_1MP.png").string(), picture_as(clear, "png"));
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<char *> args;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--pixtrim_once") == 0) s_once = true;
        else if (strncmp(argv[i], "--pixtrim_zlib_path=", 20) == 0) {
            const char *name = argv[i] + 20;
            zlib_path path = strcmp(name, "scalar") == 0 ? ZLIB_SCALAR
                             : strcmp(name, "sse2") == 0 ? ZLIB_SSE2
                                                         : ZLIB_AVX2;
            if (!zlib_use_path(path)) {
                fprintf(stderr, "%s: this build or processor lacks the path\n", argv[i]);
                return 1;
            }
        }
        else if (strcmp(argv[i], "--pixtrim_write_inputs") == 0 && i + 1 < argc)
            return write_tool_inputs(argv[i + 1]);
        else args.push_back(argv[i]);
    }
    int count = static_cast<int>(args.size());
    std::string tmpl = (fs::temp_directory_path() / "pixtrim-bench-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) return 1;
    s_scratch = tmpl;

    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    register_cases();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::error_code ignored;
    fs::remove_all(s_scratch, ignored);
    return 0;
}
