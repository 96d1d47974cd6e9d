// The running build's bitness (see program_bitness.h).
#include "platform/host/win32/program_bitness.h"

#include <atomic>

namespace tarnel::host {

namespace {
std::atomic<bool> g_is64Bit{false};
}

void SetProgramIs64Bit(bool is64Bit) {
    g_is64Bit = is64Bit;
}

bool ProgramIs64Bit() {
    return g_is64Bit;
}

}  // namespace tarnel::host
