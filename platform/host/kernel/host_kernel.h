// The host kernel's own interface for the host machine, tools and tests: pool accounting,
// captured debug output, fault injection. Drivers never include this.
#pragma once

#include <string>
#include <vector>

#include "platform/host/kernel/ntapi.h"

namespace tarnel::host::kernel {

// Pool tags as the four bytes lie in memory ("10XB").
std::string TagText(ULONG tag);
ULONG TagFromText(const char* text);

struct PoolTagUsage {
    std::string tag;
    size_t allocations;
    size_t bytes;
};
// Tags with live allocations.
std::vector<PoolTagUsage> PoolUsage();
size_t PoolOutstanding(const char* tag);
// Allocations with this tag, since the process started, of non-paged pool that may hold code.
size_t ExecutablePoolAllocations(const char* tag);
// Timer resolution requests (ExSetTimerResolution) not yet given back.
size_t TimerResolutionRequests();
// The next `count` allocations with this tag fail (return null), as low memory would.
void FailNextAllocations(const char* tag, int count);
bool ShouldFailAllocation(ULONG tag);

// DbgPrint output, one entry per line, each with its trailing "\n" as printed: the most recent
// 4096 lines since the last clear.
std::vector<std::string> DebugLines();
void ClearDebugLines();
// Also echo DbgPrint output to stderr (TARNEL_DBGPRINT=1 sets it at start).
void EchoDebugOutput(bool on);

// The DOS device namespace: (upper-cased "\??\NAME", target) pairs.
std::vector<std::pair<std::string, std::string>> SymbolicLinks();

struct DeviceInterfaceState {
    std::string link;
    bool enabled;
};
std::vector<DeviceInterfaceState> DeviceInterfaces();

}  // namespace tarnel::host::kernel
