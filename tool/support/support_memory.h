// Heap blocks for text and received data: zero-filled when allocated, overwritten with zeros
// before they are freed. Tests swap the allocator to watch every block that is given back.
#pragma once

#include <cstddef>

// Fills a block with zeros in a way the compiler may not drop as a dead store.
void SupportWipe(void* block, size_t bytes);

// A zero-filled block of `bytes` (at least 1); ends the process when memory is exhausted.
void* SupportAllocate(size_t bytes);
// Wipes the whole block, then frees it; `bytes` is the size it was allocated with.
void SupportFree(void* block, size_t bytes);

// The allocator under SupportAllocate/SupportFree. Swapping it is not thread-safe: tests do it
// while no other thread uses the support library. Returns the previous allocator.
struct SupportAllocator {
    void* (*allocate)(size_t bytes);
    void (*release)(void* block, size_t bytes);  // sees the block after it was wiped
};
SupportAllocator SetSupportAllocator(const SupportAllocator& allocator);
