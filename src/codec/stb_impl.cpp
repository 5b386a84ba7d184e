// The stb decoder and encoder, compiled into the library. Their symbols stay
// hidden (the library builds with hidden visibility), so a host that links its
// own stb does not clash with ours.
#include <cstdint>
#include <cstdlib>
#include <cstring>

// In release builds stb's asserts vanish, and its encoder would then write
// through a buffer it failed to grow; stopping is the lesser harm.
#define STBIW_ASSERT(x) ((x) ? (void)0 : abort())

#include "codec/load.h"
#include "codec/memory.h"

// The decoder hands back, for some damaged files, bytes of blocks it never
// wrote; zeroed blocks make those pixels black and the same on every run.
// Loaded pixel blocks are released with plain free(), so these stay
// malloc-compatible. A failed allocation is noted: some of the decoder's
// paths fail without giving a reason when memory runs out.
namespace {
bool s_decoder_out_of_memory = false;

void *zeroed_alloc(size_t size) {
    void *block = allocate_large_zeroed(size);
    if (!block && size) s_decoder_out_of_memory = true;
    return block;
}

void *zeroed_realloc(void *block, size_t old_size, size_t new_size) {
    void *grown = realloc(block, new_size);
    if (!grown && new_size) s_decoder_out_of_memory = true;
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

uint8_t *decode_rgba(const uint8_t *bytes, int32_t size, int *width, int *height,
                     const char **reason) {
    // Both are left over from earlier calls, and from the decoder's own
    // probing of other formats, unless cleared here.
    stbi__g_failure_reason = nullptr;
    s_decoder_out_of_memory = false;
    int channels = 0;
    uint8_t *pixels = stbi_load_from_memory(bytes, size, width, height, &channels, 4);
    if (!pixels) {
        const char *own = stbi_failure_reason();
        // Some paths fail with an empty reason, as a PNG cut before its end does.
        *reason = s_decoder_out_of_memory ? "outofmem" : own && *own ? own : "corrupt image";
    }
    return pixels;
}

bool inflate_zlib(const uint8_t *stream, size_t size, uint8_t *out, size_t capacity,
                  size_t *produced) {
    stbi__zbuf z;
    z.zbuffer = const_cast<stbi_uc *>(stream);
    z.zbuffer_end = z.zbuffer + size;
    // Not expandable: the stream fails as soon as it needs more room.
    bool complete = stbi__do_zlib(&z, reinterpret_cast<char *>(out), static_cast<int>(capacity),
                                  0, 1) != 0;
    *produced = static_cast<size_t>(z.zout - z.zout_start);
    return complete;
}

// The library writes PNGs with png_encode and JPEGs with jpeg.h; stb's PNG
// and JPEG writers stay for the tests and the benchmark's floor. The PNG
// writer compresses with our compressor, which writes the same zlib bytes
// as stb's own, faster (deflate.h).
#include "codec/png/deflate.h"
#define STBIW_ZLIB_COMPRESS zlib_compress

#define STBI_WRITE_NO_STDIO
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>
