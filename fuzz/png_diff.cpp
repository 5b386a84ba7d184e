// libFuzzer target: our PNG reader and inflater against stb's decoder. An
// input that starts with the PNG signature is a file (the seeds are real
// files): every file our reader takes must decode to exactly the decoder's
// pixels, on every path. Any other input is a zlib stream after two bytes
// that give the room for its output: every stream our inflater takes must
// fill that room with the bytes stb's inflater gives.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/guard.h"
#include "codec/png/deflate.h"
#include "codec/png/inflate.h"
#include "codec/png/png_read.h"

namespace {

// On every path of the compressor's switch, which the reader follows.
void compare_files(const uint8_t *data, size_t size) {
    int32_t length = int32_t(size);
    // The loader only hands over files that pass its checks; others could
    // make the decoder take gigabytes.
    if (decode_hazard(data, length, FMT_PNG)) return;
    uint8_t *theirs = nullptr;
    int width = 0, height = 0;
    for (zlib_path path : {ZLIB_SCALAR, ZLIB_SSE2, ZLIB_AVX2}) {
        rgba_image ours = {0, 0, nullptr};
        if (!zlib_use_path(path) || png_decode_plain(data, length, &ours) != PLAIN_DECODED)
            continue;
        const char *reason = nullptr;
        if (!theirs) theirs = decode_rgba(data, length, &width, &height, &reason);
        if (!theirs || width != ours.width || height != ours.height ||
            memcmp(theirs, ours.pixels, size_t(width) * size_t(height) * 4) != 0)
            abort();
        free(ours.pixels);
    }
    free(theirs);
}

void compare_streams(const uint8_t *data, size_t size) {
    size_t room = data[0] | size_t(data[1]) << 8;
    std::vector<uint8_t> stream(data + 2, data + size);
    stream.resize(stream.size() + kInflateReadSlack);
    // A byte more than the room, so no block is empty.
    std::vector<uint8_t> ours(room + kInflateWriteSlack), theirs(room + 1);
    if (!inflate_exact(stream.data(), size - 2, ours.data(), room)) return;
    size_t produced = 0;
    if (!inflate_zlib(stream.data(), size - 2, theirs.data(), room, &produced) ||
        produced != room || memcmp(ours.data(), theirs.data(), room) != 0)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const uint8_t kSignature[4] = {0x89, 'P', 'N', 'G'};
    if (size >= 8 && memcmp(data, kSignature, 4) == 0)
        compare_files(data, size);
    else if (size >= 2)
        compare_streams(data, size);
    return 0;
}
