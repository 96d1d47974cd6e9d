// Tarnel driver: the device's receive ring. Only the transport's receive handler puts (and moves
// only the write index); gets and resets run under the device lock and move only the read index.
#pragma once

#include "driver/vserial.h"

#define VSERIAL_RING_SIZE 0x40001  // one position always stays free: 0x40000 bytes at most

// One writer and one reader on separate indices, so puts need no lock. Each index is published
// with a release store after the bytes it covers are copied, and read with an acquire load.
struct VSERIAL_RING {
    ULONG ReadIndex;   // next byte to take, 0 .. VSERIAL_RING_SIZE - 1
    ULONG WriteIndex;  // where the next received byte goes; equal to ReadIndex when empty
    UCHAR Data[VSERIAL_RING_SIZE];
};

// Non-paged, tag "10XB", both indices 0; null when the pool has none.
VSERIAL_RING* VSERIAL_RingAllocate();
void VSERIAL_RingFree(VSERIAL_RING* Ring);

// Each runs at DISPATCH_LEVEL for its duration and restores the caller's level.
ULONG VSERIAL_RingCount(VSERIAL_RING* Ring);
// Bytes accepted (as many as fit); the rest is not stored.
ULONG VSERIAL_RingPut(VSERIAL_RING* Ring, const void* Bytes, ULONG Length);
// Bytes taken into Destination, at most Length.
ULONG VSERIAL_RingGet(VSERIAL_RING* Ring, void* Destination, ULONG Length);
// The free bytes that follow the write index without wrapping: where a transport can deliver
// straight into the ring. Only the writer calls these two; Commit publishes `Length` bytes
// written there.
ULONG VSERIAL_RingFreeSpan(VSERIAL_RING* Ring, UCHAR** Start);
void VSERIAL_RingCommit(VSERIAL_RING* Ring, ULONG Length);
// Empties the ring. Caller holds the device lock.
void VSERIAL_RingReset(VSERIAL_RING* Ring);
