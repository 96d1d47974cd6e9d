// The assignment procedure shared by the printer configuration dialog and the command line: the
// printer's and the port's earlier assignments go, then the chosen port's is written.
#pragma once

#include "tool/support/xstring.h"

// One assignment as the printer configuration dialog and the command line make it.
struct PORT_ASSIGNMENT {
    XStringW portName;         // the chosen port
    XStringW previousAddress;  // the printer as it was known before (dotted IPv4)
    int previousPort = 0;
    XStringW address;  // the printer from now on
    int port = 0;
    // The dialog: the port shown for the printer when it opened, released first (empty: none).
    XStringW shownPort;
    // The command line: the chosen port drops whatever printer it had before.
    bool releaseChosenPort = false;
};

// Releases the earlier assignments, then writes the chosen port's with the port's friendly
// name as display name.
void AssignPrinterPort(const XStringW& productKey, const PORT_ASSIGNMENT& assignment);
