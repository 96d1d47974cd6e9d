// Tarnel driver: the receive ring's allocation and its count, put, get and reset. Puts run in the
// transport's receive handler, the rest under the device lock; all at DISPATCH_LEVEL.
#include "driver/ring.h"

VSERIAL_RING* VSERIAL_RingAllocate() {
    auto* ring = static_cast<VSERIAL_RING*>(
        ExAllocatePoolWithTag(VSERIAL_NONPAGED_POOL, sizeof(VSERIAL_RING), VSERIAL_TAG_RING));
    if (ring) {
        ring->ReadIndex = 0;
        ring->WriteIndex = 0;
    }
    return ring;
}

void VSERIAL_RingFree(VSERIAL_RING* ring) {
    if (ring)
        ExFreePoolWithTag(ring, VSERIAL_TAG_RING);
}

static ULONG VSERIAL_Min(ULONG a, ULONG b) {
    return a < b ? a : b;
}

ULONG VSERIAL_RingCount(VSERIAL_RING* ring) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    const ULONG r = VSERIAL_LoadAcquire(&ring->ReadIndex);
    const ULONG w = VSERIAL_LoadAcquire(&ring->WriteIndex);
    ULONG count = 0;
    if (w > r)
        count = w - r;
    else if (w < r)
        count = w - r + VSERIAL_RING_SIZE;
    KeLowerIrql(old);
    return count;
}

ULONG VSERIAL_RingPut(VSERIAL_RING* ring, const void* bytes, ULONG length) {
    if (length == 0)
        return 0;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    const auto* src = static_cast<const UCHAR*>(bytes);
    const ULONG r = VSERIAL_LoadAcquire(&ring->ReadIndex);
    const ULONG w = ring->WriteIndex;  // only this side writes it
    ULONG accepted = 0;
    ULONG next = w;
    if (w < r) {
        accepted = VSERIAL_Min(length, r - w - 1);
        RtlCopyMemory(ring->Data + w, src, accepted);
        next = w + accepted;
    } else {
        const ULONG toEnd = VSERIAL_RING_SIZE - w;
        if (toEnd > length) {
            accepted = length;
            RtlCopyMemory(ring->Data + w, src, accepted);
            next = w + accepted;
        } else if (r == 0) {
            // The last position stays free: the ring would otherwise look empty.
            accepted = toEnd - 1;
            RtlCopyMemory(ring->Data + w, src, accepted);
            next = w + accepted;
        } else {
            RtlCopyMemory(ring->Data + w, src, toEnd);
            const ULONG wrapped = VSERIAL_Min(length - toEnd, r - 1);
            RtlCopyMemory(ring->Data, src + toEnd, wrapped);
            accepted = toEnd + wrapped;
            next = wrapped;
        }
    }
    VSERIAL_StoreRelease(&ring->WriteIndex, next);
    KeLowerIrql(old);
    return accepted;
}

ULONG VSERIAL_RingGet(VSERIAL_RING* ring, void* destination, ULONG length) {
    if (length == 0)
        return 0;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    auto* dst = static_cast<UCHAR*>(destination);
    const ULONG r = ring->ReadIndex;  // only the lock holder writes it
    const ULONG w = VSERIAL_LoadAcquire(&ring->WriteIndex);
    ULONG taken = 0;
    ULONG next = r;
    if (w > r) {
        taken = VSERIAL_Min(length, w - r);
        RtlCopyMemory(dst, ring->Data + r, taken);
        next = r + taken;
    } else if (w < r) {
        const ULONG toEnd = VSERIAL_RING_SIZE - r;
        if (toEnd > length) {
            taken = length;
            RtlCopyMemory(dst, ring->Data + r, taken);
            next = r + taken;
        } else {
            RtlCopyMemory(dst, ring->Data + r, toEnd);
            const ULONG wrapped = VSERIAL_Min(length - toEnd, w);
            RtlCopyMemory(dst + toEnd, ring->Data, wrapped);
            taken = toEnd + wrapped;
            next = wrapped;
        }
    }
    if (next != r)
        VSERIAL_StoreRelease(&ring->ReadIndex, next);
    KeLowerIrql(old);
    return taken;
}

ULONG VSERIAL_RingFreeSpan(VSERIAL_RING* ring, UCHAR** start) {
    const ULONG r = VSERIAL_LoadAcquire(&ring->ReadIndex);
    const ULONG w = ring->WriteIndex;
    *start = ring->Data + w;
    if (w < r)
        return r - w - 1;
    // The position before the read index stays free: with r = 0 that is the last one.
    return r == 0 ? VSERIAL_RING_SIZE - w - 1 : VSERIAL_RING_SIZE - w;
}

void VSERIAL_RingCommit(VSERIAL_RING* ring, ULONG length) {
    ULONG next = ring->WriteIndex + length;
    if (next == VSERIAL_RING_SIZE)
        next = 0;
    VSERIAL_StoreRelease(&ring->WriteIndex, next);
}

void VSERIAL_RingReset(VSERIAL_RING* ring) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    // The receive handler may be putting at this moment on another processor, so the write
    // index is not touched: the read index catches up with it, which empties the ring.
    VSERIAL_StoreRelease(&ring->ReadIndex, VSERIAL_LoadAcquire(&ring->WriteIndex));
    KeLowerIrql(old);
}
