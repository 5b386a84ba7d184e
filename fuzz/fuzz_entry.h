// The entry points shared by the fuzz targets and the regression replay, so a
// saved input replays exactly as the fuzzer ran it.
#ifndef PIXTRIM_FUZZ_ENTRY_H
#define PIXTRIM_FUZZ_ENTRY_H

#include <cstddef>
#include <cstdint>

// Writes the bytes to a file and re-encodes it losslessly to PNG, JPEG and
// BMP; a PNG written from it must decode to exactly the pixels loaded.
void fuzz_lossless(const uint8_t *data, size_t size);

// Quality and target-size compression of the bytes as a file, to JPEG, PNG
// and BMP, for small decoded pictures only.
void fuzz_compress(const uint8_t *data, size_t size);

// The metadata reader on the bytes as a file's: whatever it hands back is
// well formed (orientation 1-8, a usable profile, whole chunks with right
// CRCs) and released.
void fuzz_metadata(const uint8_t *data, size_t size);

#endif
