// libFuzzer target: any bytes as an input file, re-encoded losslessly.
#include "fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_lossless(data, size);
    return 0;
}
