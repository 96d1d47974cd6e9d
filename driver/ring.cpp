// Tarnel driver: allocation of the receive ring.
#include "driver/ring.h"

VSERIAL_RING* VSERIAL_RingAllocate() {
    auto* ring = static_cast<VSERIAL_RING*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(VSERIAL_RING), VSERIAL_TAG_RING));
    if (ring) {
        ring->ReadIndex = 0;
        ring->WriteIndex = 0;
    }
    return ring;
}

void VSERIAL_RingFree(VSERIAL_RING* ring) {
    if (ring) ExFreePoolWithTag(ring, VSERIAL_TAG_RING);
}
