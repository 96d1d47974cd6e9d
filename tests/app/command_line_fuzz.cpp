// libFuzzer: any command-line text, with printers that answer the USB conditions, parses without
// reading or writing out of bounds, and an accepted line always carries a sound address.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "tool/app/command_line.h"
#include "tool/support/trace.h"

namespace {

class FuzzUsbPrinters : public CUsbPrinterSource {
  public:
    XStringWList GetProductIds() override {
        XStringWList list;
        list.Add(XStringW(TEXT("12ab")));
        return list;
    }
    XStringWList GetDevicePaths() override {
        XStringWList list;
        list.Add(XStringW(TEXT("\\\\?\\usb#vid_0dd4&pid_12ab#sn4711#{a5dcbf10}")));
        return list;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<WCHAR> text(size / 2 + 1, 0);
    for (size_t i = 0; i + 1 < size; i += 2)
        text[i / 2] = static_cast<WCHAR>(data[i] | (data[i + 1] << 8));
    FuzzUsbPrinters usb;
    CVPCommandLine cl(usb);
    int result = cl.ParseCommand(XStringW(text.data()));
    if (result < 0 || result > 3)
        std::abort();
    if (result == 3 && !cl.GetPrinterAddress().IsEmpty()) {
        XStringW ip;
        int port = 0;
        if (!SplitPrinterAddress(cl.GetPrinterAddress(), ip, port) || port < 1 || port > 65535)
            std::abort();
    }
    if (result == 3 && cl.m_install && cl.m_portNumber != 0 &&
        (cl.m_portNumber < 1 || cl.m_portNumber > 255))
        std::abort();
    TraceRemove(TRACE_ID_CMDLINE);
    return 0;
}
