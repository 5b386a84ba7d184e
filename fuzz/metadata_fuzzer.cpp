// libFuzzer target: any bytes read for their orientation, profile and colour chunks.
#include "fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_metadata(data, size);
    return 0;
}
