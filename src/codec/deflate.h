// Our zlib compressor for the PNG encoder, plugged into stb_image_write.
#ifndef PIXTRIM_DEFLATE_H
#define PIXTRIM_DEFLATE_H

// Writes exactly the zlib stream stb_image_write's own compressor writes for
// the same data and level (same hash buckets, match search, lazy matching,
// fixed-Huffman block and stored fallback), only faster, so every PNG keeps
// its bytes. Levels below 5 act as 5, like stb's; levels above
// kMaxZlibLevel are refused with null. Returns a malloc block (stb releases
// it with free) and its length in *out_len, or null when memory runs out.
unsigned char *zlib_compress(unsigned char *data, int data_len, int *out_len, int quality);

// stb keeps 2 * level entries per hash bucket; beyond this our bucket table
// (16384 * 2 * level positions) would grow past 8 MiB for no use here.
constexpr int kMaxZlibLevel = 64;

#endif
