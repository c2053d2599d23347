// The one libFuzzer entry; each fuzzer is built from it with its target's function.
#include <cstdlib>

#include "targets/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (VELDA_FUZZ_FUNCTION(data, size) != 0) {
        std::abort();
    }
    return 0;
}
