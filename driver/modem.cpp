// Tarnel driver: the emulated modem lines. DTR loops back to DSR and RTS to CTS, so only those
// two bits of the modem status ever change; callers run at PASSIVE_LEVEL.
#include "driver/vserial.h"

void VSERIAL_UpdateModemStatus(PVSERIAL_EXTENSION ext, LONG code) {
    switch (code) {
        case VSERIAL_MODEM_DSR_ON:
            ext->ModemStatus |= SERIAL_DSR_STATE;
            break;
        case VSERIAL_MODEM_CTS_ON:
            ext->ModemStatus |= SERIAL_CTS_STATE;
            break;
        case VSERIAL_MODEM_DSR_OFF:
            ext->ModemStatus &= ~SERIAL_DSR_STATE;
            break;
        case VSERIAL_MODEM_CTS_OFF:
            ext->ModemStatus &= ~SERIAL_CTS_STATE;
            break;
        default:
            break;
    }
}
