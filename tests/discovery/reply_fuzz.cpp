// libFuzzer target for the discovery reply handler: any bytes from any host. The datagram sits in
// a heap block of exactly its length, so ASan catches a read past it; each entry the handler adds
// is compared with a record built independently here.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tool/discovery/discovery_table.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "reply_fuzz: %s\n", what);
    std::abort();
}

bool Starts(const std::vector<BYTE>& d, const char* word) {
    size_t n = std::strlen(word);
    return d.size() >= n && std::memcmp(d.data(), word, n) == 0;
}

// The record a datagram should leave, or an empty vector when it is no reply.
std::vector<BYTE> Expected(const std::vector<BYTE>& d, BYTE index, BYTE& kind) {
    std::vector<BYTE> record;
    if (Starts(d, "IMIN") || Starts(d, "SETC")) {
        kind = 1;
        record.assign(28, 0);
        size_t n = d.size() == 30 ? 26 : d.size() > 30 ? 27 : 0;
        for (size_t i = 0; i < n; ++i)
            record[i] = d[4 + i];
    } else if (Starts(d, "__[I_F]__[REG_RSP]") || Starts(d, "__[I_F]__[SET_RSP]")) {
        kind = 2;
        record.assign(94, 0);
        for (size_t i = 0; i < 29 && 18 + i < d.size(); ++i)
            record[i] = d[18 + i];
        if (d.size() >= 111 && (d[45] & 0x80))
            for (size_t i = 0; i < 64; ++i)
                record[29 + i] = d[47 + i];
    } else {
        return record;
    }
    record.back() = index;
    return record;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const BYTE index = static_cast<BYTE>(data[0] % 64);
    std::vector<BYTE> datagram(data + 1, data + size);
    BYTE* exact = static_cast<BYTE*>(std::malloc(datagram.size() ? datagram.size() : 1));
    if (!datagram.empty())
        std::memcpy(exact, datagram.data(), datagram.size());

    CDiscoveryTable* table = new CDiscoveryTable;
    bool added = table->HandleReply(exact, static_cast<int>(datagram.size()), index);
    // The handler must not have written into the datagram.
    if (!datagram.empty() && std::memcmp(exact, datagram.data(), datagram.size()) != 0)
        Fail("the datagram changed");
    BYTE kind = 0;
    std::vector<BYTE> record = Expected(datagram, index, kind);
    if (added != !record.empty())
        Fail("added a non-reply or dropped a reply");
    auto devices = table->GetDevices();
    if (devices.size() != (added ? 1u : 0u))
        Fail("entry count");
    if (added) {
        const _DISCOVERY_DEVICE_INFO_& d = devices[0];
        if (d.kind != kind || d.rawLength != static_cast<int>(record.size()))
            Fail("kind or raw length");
        if (std::memcmp(d.rawReply, record.data(), record.size()) != 0)
            Fail("raw reply differs from the record");
        for (size_t i = record.size(); i < sizeof d.rawReply; ++i)
            if (d.rawReply[i] != 0)
                Fail("raw reply not zero after the record");
        if (std::memcmp(d.mac, record.data(), record.size() - 1) != 0)
            Fail("named fields differ from the record");
        if (kind == 1 && (d.wirelessFlags[0] || d.wirelessFlags[1] || d.wirelessExtension[0]))
            Fail("Ethernet entry with wireless fields");
        if (d.interfaceIndex != index)
            Fail("interface index");
        // The same datagram again changes nothing.
        if (table->HandleReply(exact, static_cast<int>(datagram.size()), index))
            Fail("a known key added twice");
    }
    table->Release();
    std::free(exact);
    return 0;
}
