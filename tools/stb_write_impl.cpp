// stb_image_write's implementation for the sample generator alone, so the
// tool does not depend on how the library builds its own copy.
#define STBI_WRITE_NO_STDIO
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>
