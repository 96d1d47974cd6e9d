// Tarnel driver: the device's receive ring. Only the transport's receive handler puts (and moves
// only the write index); gets and resets run under the device lock.
#pragma once

#include "driver/vserial.h"

#define VSERIAL_RING_SIZE 0x40001  // one position always stays free: 0x40000 bytes at most

struct VSERIAL_RING {
    ULONG ReadIndex;
    ULONG WriteIndex;
    UCHAR Data[VSERIAL_RING_SIZE];
};

// Non-paged, tag "10XB", both indices 0; null when the pool has none.
VSERIAL_RING* VSERIAL_RingAllocate();
void VSERIAL_RingFree(VSERIAL_RING* Ring);
