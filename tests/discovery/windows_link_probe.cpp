// Links the discovery library into a Windows program, so that every Winsock and kernel32 import
// (with i686's stdcall decorations) resolves in the tool's sub-builds. It never searches: a
// search from a real machine would broadcast on its network.
#include "tool/discovery/udp_scanner.h"

int main(int argc, char**) {
    if (argc >= 0)
        return 0;
    auto* scanner = new COstraUdpScanner;
    int found = scanner->SearchOnce();
    XStringW address = scanner->FindByMac(XStringW(TEXT("00:00:00:00:00:00")), true);
    bool valid = IsValidIPv4Text(address);
    scanner->Release();
    return found + (valid ? 1 : 0);
}
