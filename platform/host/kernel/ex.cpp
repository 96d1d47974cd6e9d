// Ex: executive pool with per-tag accounting; paged pool at DISPATCH_LEVEL and bad frees bug-check.
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/host/kernel/host_kernel.h"
#include "platform/host/kernel/internal.h"
#include "platform/host/kernel/verifier.h"
#include "platform/host/machine/machine.h"

using tarnel::host::kernel::BugCheck;

namespace {

constexpr ULONG64 kLiveMagic = 0x4C4F4F5054524154ULL;  // "TARTPOOL"
constexpr ULONG64 kFreeMagic = 0x45455246504F4F4CULL;

// Sits in front of every block; 16-byte aligned like the Windows pool.
struct alignas(16) PoolHeader {
    ULONG64 magic;
    ULONG tag;
    ULONG type;
    SIZE_T bytes;
    void* module;  // base of the image that asked for it
};

struct TagCount {
    size_t allocations = 0;
    size_t bytes = 0;
};

std::mutex g_poolMutex;
std::map<ULONG, TagCount>& Counts() {
    static auto* counts = new std::map<ULONG, TagCount>;
    return *counts;
}

bool IsPaged(POOL_TYPE type) {
    return (type & 1) != 0;
}

struct ModuleTag {
    void* module;
    ULONG tag;
    bool operator<(const ModuleTag& o) const {
        return module != o.module ? module < o.module : tag < o.tag;
    }
};
std::map<ModuleTag, size_t>& ModuleCounts() {
    static auto* counts = new std::map<ModuleTag, size_t>;
    return *counts;
}

void* ModuleOf(void* address) {
    Dl_info info;
    return dladdr(address, &info) ? info.dli_fbase : nullptr;
}

// Non-paged pool that may hold code: what Windows 8 and later give a driver that did not opt in.
bool IsExecutable(POOL_TYPE type) {
    return !IsPaged(type) && !(type & NonPagedPoolNx);
}
std::map<ULONG, size_t>& ExecutableCounts() {
    static auto* counts = new std::map<ULONG, size_t>;
    return *counts;
}

std::mutex g_timerMutex;
size_t g_timerRequests = 0;
constexpr ULONG kDefaultTick = 156250;  // 15.625 ms
constexpr ULONG kFinestTick = 10000;    // 1 ms

PVOID Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, void* caller) {
    if (IsPaged(type) && KeGetCurrentIrql() > APC_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "paged pool allocation (tag '%s') at IRQL %u",
                 tarnel::host::kernel::TagText(tag).c_str(), KeGetCurrentIrql());
    if (tag == 0)
        BugCheck("BAD_POOL_CALLER", "pool allocation without a tag");
    if (tarnel::host::kernel::ShouldFailAllocation(tag))
        return nullptr;
    auto* header = static_cast<PoolHeader*>(std::malloc(sizeof(PoolHeader) + (bytes ? bytes : 1)));
    if (!header)
        return nullptr;
    header->magic = kLiveMagic;
    header->tag = tag;
    header->type = type;
    header->bytes = bytes;
    header->module = ModuleOf(caller);
    // Fresh pool is not zeroed on Windows; a recognisable filler catches code that assumes it is.
    std::memset(header + 1, 0xC3, bytes);
    std::lock_guard<std::mutex> lock(g_poolMutex);
    if (IsExecutable(type))
        ExecutableCounts()[tag]++;
    auto& count = Counts()[tag];
    count.allocations++;
    count.bytes += bytes;
    ModuleCounts()[{header->module, tag}]++;
    return header + 1;
}

}  // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
    return Allocate(type, bytes, tag, __builtin_return_address(0));
}

BOOLEAN RtlIsNtDdiVersionAvailable(ULONG version) {
    auto config = tarnel::host::Machine::current().config();
    const ULONG machine = (config.windowsMajor << 24) | (config.windowsMinor << 16);
    return machine >= (version & 0xFFFF0000u);
}

ULONG ExSetTimerResolution(ULONG desired, BOOLEAN set) {
    (void)desired;
    std::lock_guard<std::mutex> lock(g_timerMutex);
    if (set) {
        g_timerRequests++;
    } else {
        if (g_timerRequests == 0)
            BugCheck("TIMER_RESOLUTION", "a timer resolution given back that was never requested");
        g_timerRequests--;
    }
    return g_timerRequests ? kFinestTick : kDefaultTick;
}

static void FreePool(PVOID p, ULONG tag, bool checkTag) {
    if (!p)
        BugCheck("BAD_POOL_CALLER", "free of a null pool pointer");
    auto* header = static_cast<PoolHeader*>(p) - 1;
    if (header->magic == kFreeMagic)
        BugCheck("BAD_POOL_CALLER", "pool block %p freed twice", p);
    if (header->magic != kLiveMagic)
        BugCheck("BAD_POOL_HEADER", "pool block %p has no valid header", p);
    if (checkTag && header->tag != tag)
        BugCheck("BAD_POOL_CALLER", "pool block %p freed with tag '%s', allocated with '%s'", p,
                 tarnel::host::kernel::TagText(tag).c_str(),
                 tarnel::host::kernel::TagText(header->tag).c_str());
    if (IsPaged(static_cast<POOL_TYPE>(header->type)) && KeGetCurrentIrql() > APC_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "paged pool freed at IRQL %u", KeGetCurrentIrql());
    {
        std::lock_guard<std::mutex> lock(g_poolMutex);
        auto& count = Counts()[header->tag];
        count.allocations--;
        count.bytes -= header->bytes;
        auto it = ModuleCounts().find({header->module, header->tag});
        if (it != ModuleCounts().end() && --it->second == 0)
            ModuleCounts().erase(it);
    }
    header->magic = kFreeMagic;
    std::memset(header + 1, 0xDD, header->bytes);
    std::free(header);
}

void ExFreePoolWithTag(PVOID p, ULONG tag) {
    FreePool(p, tag, true);
}
void ExFreePool(PVOID p) {
    FreePool(p, 0, false);
}

namespace tarnel::host::kernel {

PVOID AllocateKernelPool(SIZE_T bytes, ULONG tag) {
    return Allocate(PagedPool, bytes, tag, __builtin_return_address(0));
}

std::vector<std::string> PoolLeftByModule(void* moduleHandle) {
    // dlopen handles are not image bases: find the base through a symbol of the module.
    void* base = nullptr;
    if (void* entry = dlsym(moduleHandle, "DriverEntry"))
        base = ModuleOf(entry);
    std::vector<std::string> tags;
    std::lock_guard<std::mutex> lock(g_poolMutex);
    for (auto& [key, count] : ModuleCounts())
        if (key.module == base && count)
            tags.push_back(TagText(key.tag) + " x" + std::to_string(count));
    return tags;
}

std::string TagText(ULONG tag) {
    std::string text(4, ' ');
    std::memcpy(text.data(), &tag, 4);
    return text;
}

ULONG TagFromText(const char* text) {
    ULONG tag = 0;
    std::memcpy(&tag, text, 4);
    return tag;
}

std::vector<PoolTagUsage> PoolUsage() {
    std::lock_guard<std::mutex> lock(g_poolMutex);
    std::vector<PoolTagUsage> usage;
    for (auto& [tag, count] : Counts())
        if (count.allocations)
            usage.push_back({TagText(tag), count.allocations, count.bytes});
    return usage;
}

size_t ExecutablePoolAllocations(const char* tag) {
    std::lock_guard<std::mutex> lock(g_poolMutex);
    auto it = ExecutableCounts().find(TagFromText(tag));
    return it == ExecutableCounts().end() ? 0 : it->second;
}

size_t TimerResolutionRequests() {
    std::lock_guard<std::mutex> lock(g_timerMutex);
    return g_timerRequests;
}

size_t PoolOutstanding(const char* tag) {
    std::lock_guard<std::mutex> lock(g_poolMutex);
    auto it = Counts().find(TagFromText(tag));
    return it == Counts().end() ? 0 : it->second.allocations;
}

namespace {
std::mutex g_failMutex;
std::map<ULONG, int>& Failures() {
    static auto* failures = new std::map<ULONG, int>;
    return *failures;
}
}  // namespace

void FailNextAllocations(const char* tag, int count) {
    std::lock_guard<std::mutex> lock(g_failMutex);
    Failures()[TagFromText(tag)] = count;
}

bool ShouldFailAllocation(ULONG tag) {
    std::lock_guard<std::mutex> lock(g_failMutex);
    auto it = Failures().find(tag);
    if (it == Failures().end() || it->second <= 0)
        return false;
    it->second--;
    return true;
}

}  // namespace tarnel::host::kernel
