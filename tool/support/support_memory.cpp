// Zero-filled allocation and wipe-before-free for the support library's buffers, with the
// replaceable allocator that tests use to inspect released blocks.
#include "tool/support/support_memory.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void* DefaultAllocate(size_t bytes) {
    return std::calloc(1, bytes);
}
void DefaultRelease(void* block, size_t) {
    std::free(block);
}

SupportAllocator g_allocator = {DefaultAllocate, DefaultRelease};

}  // namespace

void SupportWipe(void* block, size_t bytes) {
    if (block == nullptr || bytes == 0)
        return;
    std::memset(block, 0, bytes);
    // The block is about to die; the barrier keeps the zeroing from being optimised away.
    __asm__ __volatile__("" : : "r"(block) : "memory");
}

void* SupportAllocate(size_t bytes) {
    if (bytes == 0)
        bytes = 1;
    void* block = g_allocator.allocate(bytes);
    if (block == nullptr) {
        std::fputs("Tarnel: out of memory\n", stderr);
        std::abort();
    }
    std::memset(block, 0, bytes);
    return block;
}

void SupportFree(void* block, size_t bytes) {
    if (block == nullptr)
        return;
    if (bytes == 0)
        bytes = 1;
    SupportWipe(block, bytes);
    g_allocator.release(block, bytes);
}

SupportAllocator SetSupportAllocator(const SupportAllocator& allocator) {
    SupportAllocator previous = g_allocator;
    g_allocator = allocator;
    if (g_allocator.allocate == nullptr)
        g_allocator.allocate = DefaultAllocate;
    if (g_allocator.release == nullptr)
        g_allocator.release = DefaultRelease;
    return previous;
}
