// The stb decoder and encoder, compiled into the library. Their symbols stay
// hidden (the library builds with hidden visibility), so a host that links its
// own stb does not clash with ours.
#include <cstdlib>

// In release builds stb's asserts vanish, and its encoder would then write
// through a buffer it failed to grow; stopping is the lesser harm.
#define STBIW_ASSERT(x) ((x) ? (void)0 : abort())

#define STBI_ONLY_JPEG
#define STBI_ONLY_PNG
#define STBI_ONLY_BMP
#define STBI_NO_STDIO
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

#define STBI_WRITE_NO_STDIO
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>
