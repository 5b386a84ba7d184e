// stb_image_write's JPEG writer in a copy of its own, compiled with the
// flags of the encoder beside it, to hold our encoder's output against.
#ifndef PIXTRIM_REFERENCE_JPEG_H
#define PIXTRIM_REFERENCE_JPEG_H

#include <cstdint>
#include <vector>

// stb's JPEG of width * height RGB pixels at a quality; empty when it fails.
std::vector<uint8_t> stb_reference_jpeg(const uint8_t *rgb, int width, int height, int quality);

#endif
