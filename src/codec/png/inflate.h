// Our zlib decompressor, for the PNG reader: a 64-bit bit buffer refilled
// a word at a time, one table look-up for every code of up to 10 bits, and
// matches copied 8 bytes at a time, so several times faster than stb's.
//
// It decodes exactly what stb's inflater decodes, to the same bytes, and
// gives up on every stream it cannot be sure of, for stb to judge.
#ifndef PIXTRIM_INFLATE_H
#define PIXTRIM_INFLATE_H

#include <cstddef>
#include <cstdint>

// Bytes that must be readable after the stream, and writable after the
// output, for the word-wide reads and copies. Their values do not matter.
constexpr size_t kInflateReadSlack = 16;
constexpr size_t kInflateWriteSlack = 16;

// Decodes a whole zlib stream of size bytes into out_size bytes at out.
// True only when the stream is well formed and decodes to exactly out_size
// bytes, and its last block ends at least two bytes before the stream does.
// stb needs 16 bits in hand for every code it reads, and a whole stream has
// four bytes more, its Adler-32 (unchecked, as stb leaves it). stb takes
// every such stream and gives these bytes; the rest are left to it.
bool inflate_exact(const uint8_t *stream, size_t size, uint8_t *out, size_t out_size);

#endif
