// Real-world conformance: every file of the shared corpus that the decoder
// reads is re-encoded losslessly to PNG and must come back pixel for pixel;
// every file it refuses fails with a loader message and writes nothing.
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec/load.h"
#include "pixtrim.h"
#include "support.h"

namespace {

namespace fs = std::filesystem;
using test_support::decode_file;
using test_support::scratch_dir;

// One row of expect.tsv: what the decoder does with the file on its own.
struct expectation {
    std::string path;
    std::string format;  // jpeg, png, bmp or none, by first bytes
    bool decodes;
    int width, height;
    std::string rgba_hash;  // "unstable" where stale memory showed through
};

// Files the decoder "decodes" that the guards refuse instead, and why.
const std::map<std::string, std::string> kRefusedByGuards = {
    // Pixel rows missing: the decoder made them up from zeros.
    {"bmpsuite/b/shortfile.bmp", "truncated pixel data"},
    // Indices past the palette: the decoder read an uninitialised array.
    {"bmpsuite/b/pal8badindex.bmp", "palette index out of range"},
    {"bmpsuite/q/pal8os2sp.bmp", "palette index out of range"},
};

std::vector<expectation> read_expectations(const fs::path &corpus) {
    std::vector<expectation> rows;
    std::ifstream in(corpus / "expect.tsv");
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        expectation e;
        std::string size, decodes, width, height, channels;
        std::getline(fields, e.path, '\t');
        std::getline(fields, size, '\t');
        std::getline(fields, e.format, '\t');
        std::getline(fields, decodes, '\t');
        std::getline(fields, width, '\t');
        std::getline(fields, height, '\t');
        std::getline(fields, channels, '\t');
        std::getline(fields, e.rgba_hash, '\t');
        e.decodes = decodes == "1";
        e.width = std::stoi(width);
        e.height = std::stoi(height);
        rows.push_back(e);
    }
    return rows;
}

bool starts_with(const std::string &text, const std::string &prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// What the library itself loads from the file, for files without a stable hash.
std::vector<uint8_t> loaded_pixels(const std::string &path) {
    rgba_image image;
    image_format format;
    if (!load_rgba(path.c_str(), &image, &format)) return {};
    std::vector<uint8_t> pixels(image.pixels,
                                image.pixels + size_t(image.width) * image.height * 4);
    free(image.pixels);
    return pixels;
}

void check_set(const std::string &set) {
    fs::path corpus = PIXTRIM_CORPUS_DIR;
    if (!fs::exists(corpus / "expect.tsv"))
        GTEST_SKIP() << "corpus not found at " << corpus << ": conformance not checked";
    scratch_dir dir;
    std::string output = dir / "out.png";
    int checked = 0;
    for (const expectation &e : read_expectations(corpus)) {
        if (!starts_with(e.path, set)) continue;
        SCOPED_TRACE(e.path);
        ++checked;
        std::string input = (corpus / e.path).string();
        fs::remove(output);
        int result = pixtrim_lossless(input.c_str(), output.c_str());
        std::string message = pixtrim_last_error();

        auto refused = kRefusedByGuards.find(e.path);
        bool loads = e.format != "none" && e.decodes && refused == kRefusedByGuards.end();
        if (!loads) {
            EXPECT_EQ(result, 0);
            EXPECT_FALSE(fs::exists(output)) << "a refused input wrote an output";
            if (refused != kRefusedByGuards.end())
                EXPECT_EQ(message, "cannot decode " + input + " (" + refused->second + ")");
            else if (e.format == "none")
                EXPECT_TRUE(message == "cannot read " + input ||
                            message == "unsupported image format: " + input)
                    << message;
            else
                EXPECT_TRUE(starts_with(message, "cannot decode " + input + " (")) << message;
            continue;
        }

        ASSERT_EQ(result, 1) << message;
        test_support::decoded written = decode_file(output);
        ASSERT_TRUE(written.ok);
        EXPECT_EQ(written.image.width, e.width);
        EXPECT_EQ(written.image.height, e.height);
        // The guards passed it, so the decoder may read it directly: the
        // PNG holds exactly the pixels the input decodes to.
        EXPECT_EQ(written.image.rgba, decode_file(input).image.rgba);
        if (e.rgba_hash == "unstable") {
            // Stale memory showed through here once; now two loads agree.
            EXPECT_EQ(loaded_pixels(input), loaded_pixels(input));
        }
    }
    EXPECT_GT(checked, 0) << "no corpus rows under " << set;
}

// Files whose own encoding cannot be copied, and why: their outputs may be
// larger than they are.
const std::map<std::string, std::string> kNoCopyOfTheInput = {
    {"jpeg/jpeg-decoder/crashtest/missing-sos.jpg", "no scan, so no end of image data"},
    {"jpeg/jpeg-decoder/crashtest/imagetestsuite/4838ece0d3900220d33528ee027289bc.jpg",
     "a segment length that misses the next marker"},
    {"pngsuite/xcsn0g01.png", "image data with a wrong CRC"},
};

}  // namespace

TEST(Corpus, SameFormatOutputsAtQuality100AreNeverLargerThanTheirInputs) {
    fs::path corpus = PIXTRIM_CORPUS_DIR;
    if (!fs::exists(corpus / "expect.tsv"))
        GTEST_SKIP() << "corpus not found at " << corpus << ": sizes not checked";
    scratch_dir dir;
    int compared = 0;
    for (const expectation &e : read_expectations(corpus)) {
        std::string ext = fs::path(e.path).extension().string();
        image_format named = format_from_path(e.path.c_str(), FMT_NONE);
        bool same_format = (e.format == "png" && named == FMT_PNG) ||
                           (e.format == "jpeg" && named == FMT_JPEG);
        if (!same_format || !e.decodes || kRefusedByGuards.count(e.path) ||
            kNoCopyOfTheInput.count(e.path))
            continue;
        SCOPED_TRACE(e.path);
        std::string input = (corpus / e.path).string(), output = dir / ("out" + ext);
        ASSERT_EQ(pixtrim_quality(input.c_str(), output.c_str(), 100), 1) << pixtrim_last_error();
        EXPECT_LE(fs::file_size(output), fs::file_size(input));
        ++compared;
    }
    EXPECT_GT(compared, 200);
}

TEST(Corpus, PngSuiteFilesRoundTripOrFailCleanly) { check_set("pngsuite/"); }
TEST(Corpus, BmpSuiteFilesRoundTripOrFailCleanly) { check_set("bmpsuite/"); }
TEST(Corpus, JpegFilesRoundTripOrFailCleanly) { check_set("jpeg/"); }
