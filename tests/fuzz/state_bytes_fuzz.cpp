// libFuzzer target for the state reader: any byte string goes through from_bytes, and whatever it
// accepts is written back, observed and stepped under the checks of state_checks.h.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "state_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string fault = tavrin::fuzz::check_state_bytes(data, size);
    if (!fault.empty()) {
        std::fprintf(stderr, "state bytes check failed: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
