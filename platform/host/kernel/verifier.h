// Driver-Verifier-like checks of the host kernel: a broken rule ends the process with a message
// naming the rule, as a bug check would.
#pragma once

namespace tarnel::host::kernel {

[[noreturn]] void BugCheck(const char* rule, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

}  // namespace tarnel::host::kernel
