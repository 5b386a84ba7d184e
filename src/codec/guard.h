// Structure checks run on a file's bytes before they reach the decoder.
#ifndef PIXTRIM_GUARD_H
#define PIXTRIM_GUARD_H

#include <cstdint>

#include "codec/load.h"

// The largest picture we decode: 0x3FFF x 0x3FFF pixels, the default limit of
// common image libraries. A few bytes of header could otherwise make the
// decoder allocate gigabytes and work for minutes.
constexpr int64_t kMaxDecodePixels = int64_t{0x3FFF} * 0x3FFF;

// Null when the bytes, recognised as format, are safe to hand to the decoder;
// otherwise a short reason in the decoder's style ("image too large",
// "too little data", "bad huffman table", "chunk too long",
// "not enough pixels", "truncated pixel data", "palette index out of range").
// The decoder has known memory-safety faults on some of these shapes of
// damaged file, and spends time or memory far beyond the file's size on the
// others.
const char *decode_hazard(const uint8_t *bytes, int32_t size, image_format format);

// Entropy-coded data from at on ends at the first marker that is neither a
// stuffed 0x00 nor a restart marker; returns the position of its code byte,
// or -1 when the file ends first.
int64_t jpeg_end_of_scan(const uint8_t *bytes, int64_t size, int64_t at);

#endif
