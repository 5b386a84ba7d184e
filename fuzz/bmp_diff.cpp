// libFuzzer target: our plain BMP reader against stb's decoder. Every file
// the reader takes must decode to exactly the decoder's pixels. An input
// that starts with "BM" is the file itself (the seeds are real files);
// any other input describes one: its first bytes choose the header size,
// depth, compression, sides, row order, masks and row offset, the next
// up to three header bytes to overwrite, and the rest are the rows.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/bmp/bmp.h"
#include "codec/bmp_file.h"
#include "codec/guard.h"

using namespace test_support;

namespace {

std::vector<uint8_t> described_file(const uint8_t *data, size_t size) {
    static const uint32_t kHeaders[] = {12, 40, 56, 108, 124};
    static const uint16_t kBits[] = {24, 32, 24, 32, 16, 8, 1, 0};
    static const int32_t kCompressions[] = {0, 0, 3, 3, 1, -1, 4, 2};
    static const int32_t kOffsetChanges[] = {0, 0, 0, 0, -1, 1, -12, 4};
    bmp_shape s;
    s.header_size = kHeaders[data[0] % 5];
    s.bits_per_pixel = kBits[data[1] & 7];
    s.compression = kCompressions[data[1] >> 3 & 7];
    s.width = 1 + data[2] % 48;
    s.height = (1 + data[3] % 48) * (data[1] & 0x40 ? -1 : 1);
    if (data[1] & 0x80) s.masks[data[4] & 3] ^= 1u << (data[4] >> 3);
    s.offset_change = kOffsetChanges[data[5] & 7];
    size_t patches = data[6] % 4, start = 7 + 2 * patches;
    if (size < start) return {};
    std::vector<uint8_t> file = bmp_file(s, std::vector<uint8_t>(data + start, data + size));
    size_t header_end = 14 + s.header_size;
    for (size_t i = 0; i < patches; ++i) file[data[7 + 2 * i] % header_end] = data[8 + 2 * i];
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 7) return 0;
    std::vector<uint8_t> file = data[0] == 'B' && data[1] == 'M'
                                    ? std::vector<uint8_t>(data, data + size)
                                    : described_file(data, size);
    int32_t length = int32_t(file.size());
    // The loader only hands over files that pass its checks; others could
    // make the decoder take gigabytes.
    if (file.empty() || decode_hazard(file.data(), length, FMT_BMP)) return 0;
    rgba_image ours = {0, 0, nullptr};
    if (bmp_decode_plain(file.data(), length, &ours) != PLAIN_DECODED) return 0;
    int width = 0, height = 0;
    const char *reason = nullptr;
    uint8_t *theirs = decode_rgba(file.data(), length, &width, &height, &reason);
    if (!theirs || width != ours.width || height != ours.height ||
        memcmp(theirs, ours.pixels, size_t(width) * size_t(height) * 4) != 0)
        abort();
    free(theirs);
    free(ours.pixels);
    return 0;
}
