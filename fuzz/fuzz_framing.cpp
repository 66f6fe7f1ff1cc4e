// libFuzzer entry: zelfuzz::checkFraming on every generated input.
#include "checks.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string problem = zelfuzz::checkFraming(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "checkFraming: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
