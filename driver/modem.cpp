// Tarnel driver: the emulated modem lines. DTR loops back to DSR and RTS to CTS, so only those
// two bits of the modem status ever change. Open, close, writes, control requests and surprise
// removal update them from different threads, so each change is one atomic read-modify-write.
#include "driver/vserial.h"

void VSERIAL_UpdateModemStatus(PVSERIAL_EXTENSION ext, LONG code) {
    volatile ULONG* status = &ext->ModemStatus;
    switch (code) {
        case VSERIAL_MODEM_DSR_ON:
            __atomic_fetch_or(status, SERIAL_DSR_STATE, __ATOMIC_ACQ_REL);
            break;
        case VSERIAL_MODEM_CTS_ON:
            __atomic_fetch_or(status, SERIAL_CTS_STATE, __ATOMIC_ACQ_REL);
            break;
        case VSERIAL_MODEM_DSR_OFF:
            __atomic_fetch_and(status, ~static_cast<ULONG>(SERIAL_DSR_STATE), __ATOMIC_ACQ_REL);
            break;
        case VSERIAL_MODEM_CTS_OFF:
            __atomic_fetch_and(status, ~static_cast<ULONG>(SERIAL_CTS_STATE), __ATOMIC_ACQ_REL);
            break;
        default:
            break;
    }
}

void VSERIAL_SetLinesReady(PVSERIAL_EXTENSION Extension, BOOLEAN Ready) {
    VSERIAL_UpdateModemStatus(Extension, Ready ? VSERIAL_MODEM_DSR_ON : VSERIAL_MODEM_DSR_OFF);
    VSERIAL_UpdateModemStatus(Extension, Ready ? VSERIAL_MODEM_CTS_ON : VSERIAL_MODEM_CTS_OFF);
}
