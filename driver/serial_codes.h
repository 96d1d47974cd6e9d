// Tarnel driver: every control code the port serves, listed once with the buffer it needs.
// X(code, input bytes, output bytes, information): a set needs its structure as input, a get
// its structure as output; information is what a served request reports back.
#pragma once

#include "driver/notification.h"

#define VSERIAL_SERIAL_REQUESTS(X)                                                                \
    X(IOCTL_SERIAL_SET_BAUD_RATE, sizeof(ULONG), 0, sizeof(ULONG))                                \
    X(IOCTL_SERIAL_SET_QUEUE_SIZE, 0, 0, 0)                                                       \
    X(IOCTL_SERIAL_SET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL), 0, sizeof(SERIAL_LINE_CONTROL)) \
    X(IOCTL_SERIAL_SET_BREAK_ON, 0, 0, 0)                                                         \
    X(IOCTL_SERIAL_SET_BREAK_OFF, 0, 0, 0)                                                        \
    X(IOCTL_SERIAL_IMMEDIATE_CHAR, 0, 0, 0)                                                       \
    X(IOCTL_SERIAL_SET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS), 0, sizeof(SERIAL_TIMEOUTS))             \
    X(IOCTL_SERIAL_GET_TIMEOUTS, 0, sizeof(SERIAL_TIMEOUTS), sizeof(SERIAL_TIMEOUTS))             \
    X(IOCTL_SERIAL_SET_DTR, 0, 0, 0)                                                              \
    X(IOCTL_SERIAL_CLR_DTR, 0, 0, 0)                                                              \
    X(IOCTL_SERIAL_RESET_DEVICE, 0, 0, 0)                                                         \
    X(IOCTL_SERIAL_SET_RTS, 0, 0, 0)                                                              \
    X(IOCTL_SERIAL_CLR_RTS, 0, 0, 0)                                                              \
    X(IOCTL_SERIAL_SET_XOFF, 0, 0, 0)                                                             \
    X(IOCTL_SERIAL_SET_XON, 0, 0, 0)                                                              \
    X(IOCTL_SERIAL_GET_WAIT_MASK, 0, sizeof(ULONG), sizeof(ULONG))                                \
    X(IOCTL_SERIAL_SET_WAIT_MASK, sizeof(ULONG), 0, 0)                                            \
    X(IOCTL_SERIAL_WAIT_ON_MASK, 0, sizeof(ULONG), sizeof(ULONG))                                 \
    X(IOCTL_SERIAL_PURGE, sizeof(ULONG), 0, sizeof(ULONG))                                        \
    X(IOCTL_SERIAL_GET_BAUD_RATE, 0, sizeof(ULONG), sizeof(ULONG))                                \
    X(IOCTL_SERIAL_GET_LINE_CONTROL, 0, sizeof(SERIAL_LINE_CONTROL), sizeof(SERIAL_LINE_CONTROL)) \
    X(IOCTL_SERIAL_GET_CHARS, 0, 0, 0)                                                            \
    X(IOCTL_SERIAL_SET_CHARS, 0, 0, 0)                                                            \
    X(IOCTL_SERIAL_GET_HANDFLOW, 0, sizeof(SERIAL_HANDFLOW), sizeof(SERIAL_HANDFLOW))             \
    X(IOCTL_SERIAL_SET_HANDFLOW, sizeof(SERIAL_HANDFLOW), 0, sizeof(SERIAL_HANDFLOW))             \
    X(IOCTL_SERIAL_GET_MODEMSTATUS, 0, sizeof(ULONG), sizeof(ULONG))                              \
    X(IOCTL_SERIAL_GET_COMMSTATUS, 0, sizeof(SERIAL_STATUS), sizeof(SERIAL_STATUS))               \
    X(IOCTL_SERIAL_XOFF_COUNTER, 0, 0, 0)                                                         \
    X(IOCTL_SERIAL_GET_PROPERTIES, 0, 0, 0)                                                       \
    X(IOCTL_SERIAL_GET_DTRRTS, 0, 0, 0)                                                           \
    X(IOCTL_SERIAL_LSRMST_INSERT, 0, 0, 0)                                                        \
    X(IOCTL_SERIAL_CONFIG_SIZE, 0, 0, 0)                                                          \
    X(IOCTL_SERIAL_GET_COMMCONFIG, 0, 0, 0)                                                       \
    X(IOCTL_SERIAL_SET_COMMCONFIG, 0, 0, 0)                                                       \
    X(IOCTL_SERIAL_GET_STATS, 0, 0, 0)                                                            \
    X(IOCTL_SERIAL_CLEAR_STATS, 0, 0, 0)                                                          \
    X(IOCTL_SERIAL_GET_MODEM_CONTROL, 0, sizeof(ULONG), sizeof(ULONG))                            \
    X(IOCTL_SERIAL_SET_MODEM_CONTROL, sizeof(ULONG), 0, sizeof(ULONG))                            \
    X(IOCTL_SERIAL_SET_FIFO_CONTROL, 0, 0, 0)                                                     \
    X(VSERIAL_IOCTL_REMOVAL_NOTIFY, 0, 0, 0)                                                      \
    X(VSERIAL_IOCTL_NO_OPERATION, 0, 0, 0)

// What a listed request needs of its system buffer and reports back.
struct VSERIAL_REQUEST_SHAPE {
    ULONG InputBytes;
    ULONG OutputBytes;
    ULONG Information;
};

// FALSE for a code the port does not serve.
inline BOOLEAN VSERIAL_RequestShape(ULONG code, VSERIAL_REQUEST_SHAPE* shape) {
    switch (code) {
#define VSERIAL_SHAPE_CASE(c, in, out, info)                                                  \
    case c:                                                                                   \
        *shape = {static_cast<ULONG>(in), static_cast<ULONG>(out), static_cast<ULONG>(info)}; \
        return TRUE;
        VSERIAL_SERIAL_REQUESTS(VSERIAL_SHAPE_CASE)
#undef VSERIAL_SHAPE_CASE
        default:
            return FALSE;
    }
}
