// The host kernel's bug check: a message on stderr naming the rule, then abort.
#include "platform/host/kernel/verifier.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace tarnel::host::kernel {

void BugCheck(const char* rule, const char* format, ...) {
    std::fflush(stdout);
    std::fprintf(stderr, "*** host kernel bug check: %s: ", rule);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, "\n");
    std::fflush(stderr);
    std::abort();
}

}  // namespace tarnel::host::kernel
