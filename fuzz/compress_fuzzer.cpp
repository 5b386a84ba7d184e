// libFuzzer target: any bytes as an input file, compressed by quality and to
// a byte budget.
#include "fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_compress(data, size);
    return 0;
}
