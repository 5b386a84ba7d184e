// Every stb function is static here, so this copy is built with the flags
// of the test it belongs to (say -march=native) and clashes with no other.
#include "jpeg/reference_jpeg.h"

#define STB_IMAGE_WRITE_STATIC
#define STBI_WRITE_NO_STDIO
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>

namespace {

void append(void *context, void *data, int size) {
    auto *out = static_cast<std::vector<uint8_t> *>(context);
    out->insert(out->end(), static_cast<uint8_t *>(data), static_cast<uint8_t *>(data) + size);
}

}  // namespace

std::vector<uint8_t> stb_reference_jpeg(const uint8_t *rgb, int width, int height, int quality) {
    std::vector<uint8_t> out;
    if (!stbi_write_jpg_to_func(append, &out, width, height, 3, rgb, quality)) out.clear();
    return out;
}
