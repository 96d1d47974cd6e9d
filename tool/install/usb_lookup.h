// The maker's USB printers that are attached and can be opened, found through the device
// interfaces SetupAPI reports: their device paths and product ids, for the command line's
// "pid" and "sn" conditions.
#pragma once

#include <vector>

#include "platform/win32.h"
#include "tool/support/xstring.h"
#include "tool/support/xstring_list.h"

// The process-wide table of known ids, entries "vid_xxxx&pid_xxxx" in lower case; "0000" in
// either place stands for any id. Entries are only ever added, each once.
class CFindUsbList {
  public:
    static void Add(XStringW vendor, XStringW product);
    static XStringWList Entries();
};

// One accepted interface: its lower-case path and the product id in it.
struct USB_DEVICE_RECORD {
    XStringW path;
    XStringW productId;
};

class CRegistUsb {
  public:
    // Puts the built-in rows into the known-id table.
    CRegistUsb();
    // Appends a record for every interface of the class whose path names a known device and
    // that can be opened for reading and writing.
    void FindDevices(const GUID& interfaceClass);
    const std::vector<USB_DEVICE_RECORD>& Records() const { return m_records; }

  private:
    std::vector<USB_DEVICE_RECORD> m_records;
};

// The ids of a device path: the four characters after the first "vid_" / "pid_", lower case;
// empty when the marker is missing or too short.
XStringW UsbVendorIdOf(const XStringW& path);
XStringW UsbProductIdOf(const XStringW& path);
bool IsKnownUsbDevice(const XStringW& path);
// HID interfaces first, then USB device interfaces.
XStringWList GetUsbDevicePathList();
XStringWList GetUsbProductIdList();
