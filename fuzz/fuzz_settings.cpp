// libFuzzer entry: zelfuzz::checkSettings on every generated input.
#include "checks.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string problem = zelfuzz::checkSettings(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "checkSettings: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
