// The stb decoder and encoder, compiled into the library. Their symbols stay
// hidden (the library builds with hidden visibility), so a host that links its
// own stb does not clash with ours.
#include <cstdint>
#include <cstdlib>
#include <cstring>

// In release builds stb's asserts vanish, and its encoder would then write
// through a buffer it failed to grow; stopping is the lesser harm.
#define STBIW_ASSERT(x) ((x) ? (void)0 : abort())

// The decoder hands back, for some damaged files, bytes of blocks it never
// wrote; zeroed blocks make those pixels black and the same on every run.
// Loaded pixel blocks are released with plain free(), so these stay
// malloc-compatible.
namespace {
void *zeroed_alloc(size_t size) { return calloc(1, size); }

void *zeroed_realloc(void *block, size_t old_size, size_t new_size) {
    void *grown = realloc(block, new_size);
    if (grown && new_size > old_size)
        memset(static_cast<uint8_t *>(grown) + old_size, 0, new_size - old_size);
    return grown;
}
}  // namespace
#define STBI_MALLOC(size) zeroed_alloc(size)
#define STBI_REALLOC_SIZED(block, old_size, new_size) zeroed_realloc(block, old_size, new_size)
#define STBI_FREE(block) free(block)

#define STBI_ONLY_JPEG
#define STBI_ONLY_PNG
#define STBI_ONLY_BMP
#define STBI_NO_STDIO
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

// The library writes PNGs with png_encode and JPEGs with jpeg.h; stb's PNG
// and JPEG writers stay for the tests and the benchmark's floor. The PNG
// writer compresses with our compressor, which writes the same zlib bytes
// as stb's own, faster (deflate.h).
#include "deflate.h"
#define STBIW_ZLIB_COMPRESS zlib_compress

#define STBI_WRITE_NO_STDIO
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>
