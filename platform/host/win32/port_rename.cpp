// Device hardware keys, class GUIDs by name, the configuration manager's device restart and the
// COM port database of the host machine.
#include "platform/host/win32/port_rename.h"

#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "platform/host/kernel/pnp.h"
#include "platform/host/kernel/user_io.h"
#include "platform/host/win32/device_registry.h"
#include "platform/host/win32/files.h"
#include "platform/host/win32/pnp_manager.h"

namespace dr = tarnel::host::devreg;
namespace hk = tarnel::host::kernel;

namespace {

const std::u16string kComDbKey = u"SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";
constexpr DWORD kComDbNumbers = 256;

struct DevNodes {
    std::mutex mutex;
    std::map<std::u16string, DWORD> byId;
    std::vector<std::u16string> ids;  // devnode n is ids[n - 1]
};

DevNodes& devNodes() {
    static DevNodes nodes;
    return nodes;
}

bool idOfDevNode(DEVINST node, std::u16string& id) {
    std::lock_guard<std::mutex> lock(devNodes().mutex);
    if (node == 0 || node > devNodes().ids.size())
        return false;
    id = devNodes().ids[node - 1];
    return dr::KeyExists(dr::kEnum + id);
}

bool equalNoCase(const std::u16string& a, const char16_t* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'a' && x <= u'z')
            x = char16_t(x - 32);
        if (y >= u'a' && y <= u'z')
            y = char16_t(y - 32);
        if (x != y)
            return false;
    }
    return i == a.size() && !b[i];
}

// The handle of an open database: one process-wide token, its bits live in the registry.
const HANDLE kComDbHandle = reinterpret_cast<HANDLE>(ULONG_PTR(0x434F4D44));

LONG changeBit(DWORD number, bool claim, bool force) {
    if (number < 1 || number > kComDbNumbers)
        return ERROR_INVALID_PARAMETER;
    DWORD type = 0;
    std::vector<BYTE> bits;
    if (!dr::GetRaw(kComDbKey, u"ComDB", type, bits) || type != REG_BINARY)
        bits.clear();
    bits.resize(kComDbNumbers / 8, 0);
    BYTE& byte = bits[(number - 1) / 8];
    const BYTE bit = BYTE(1u << ((number - 1) % 8));
    if (claim && (byte & bit) && !force)
        return ERROR_SHARING_VIOLATION;
    byte = claim ? BYTE(byte | bit) : BYTE(byte & ~bit);
    return dr::SetRaw(kComDbKey, u"ComDB", REG_BINARY, bits) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

}  // namespace

DWORD tarnel::host::DevNodeOf(const std::u16string& id) {
    std::lock_guard<std::mutex> lock(devNodes().mutex);
    auto it = devNodes().byId.find(id);
    if (it != devNodes().byId.end())
        return it->second;
    devNodes().ids.push_back(id);
    const DWORD node = static_cast<DWORD>(devNodes().ids.size());
    devNodes().byId[id] = node;
    return node;
}

HKEY SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope,
                          DWORD HwProfile, DWORD KeyType, REGSAM samDesired) {
    (void)HwProfile;
    std::u16string id;
    if (!tarnel::host::DeviceInstanceOf(DeviceInfoSet, DeviceInfoData, id)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    if (Scope != DICS_FLAG_GLOBAL || KeyType != DIREG_DEV) {
        SetLastError(ERROR_INVALID_FLAGS);
        return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    HKEY key = nullptr;
    const std::u16string path = dr::kEnum + id + u"\\Device Parameters";
    const LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                           samDesired | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(status));
        return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    return key;
}

BOOL SetupDiClassGuidsFromNameW(PCWSTR ClassName, LPGUID ClassGuidList, DWORD ClassGuidListSize,
                                PDWORD RequiredSize) {
    if (!ClassName || !RequiredSize) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The host knows one device class.
    const DWORD count = equalNoCase(u"Ports", ClassName) ? 1 : 0;
    *RequiredSize = count;
    if (count > ClassGuidListSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (count) {
        GUID g{};
        unsigned p[11];
        std::string t(dr::kPortsGuid.begin(), dr::kPortsGuid.end());
        std::sscanf(t.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &p[0], &p[1], &p[2],
                    &p[3], &p[4], &p[5], &p[6], &p[7], &p[8], &p[9], &p[10]);
        g.Data1 = p[0];
        g.Data2 = USHORT(p[1]);
        g.Data3 = USHORT(p[2]);
        for (int i = 0; i < 8; ++i)
            g.Data4[i] = UCHAR(p[3 + i]);
        ClassGuidList[0] = g;
    }
    return TRUE;
}

CONFIGRET CM_Query_And_Remove_SubTreeW(DEVINST dnAncestor, PNP_VETO_TYPE* pVetoType,
                                       LPWSTR pszVetoName, ULONG ulNameLength, ULONG ulFlags) {
    (void)ulFlags;
    if (pVetoType)
        *pVetoType = 0;
    if (pszVetoName && ulNameLength)
        pszVetoName[0] = 0;
    std::u16string id;
    if (!idOfDevNode(dnAncestor, id))
        return CR_INVALID_DEVNODE;
    hk::EnsureMachineBooted();
    bool running = false;
    for (const auto& info : hk::DeviceInstances())
        running |= std::u16string(info.instanceId.begin(), info.instanceId.end()) == id;
    // An open handle vetoes the removal before any driver is asked.
    if (running && hk::DeviceInstanceHasOpenFiles(id)) {
        if (pVetoType)
            *pVetoType = 5;  // PNP_VetoOutstandingOpen
        return CR_REMOVE_VETOED;
    }
    if (running && !NT_SUCCESS(hk::SendPnpRequest(id, IRP_MN_QUERY_REMOVE_DEVICE))) {
        if (pVetoType)
            *pVetoType = 6;  // PNP_VetoDevice
        return CR_REMOVE_VETOED;
    }
    return tarnel::host::PnpRemoveDevice(id) == ERROR_SUCCESS ? CR_SUCCESS : CR_FAILURE;
}

CONFIGRET CM_Setup_DevNode(DEVINST dnDevInst, ULONG ulFlags) {
    (void)ulFlags;
    std::u16string id;
    if (!idOfDevNode(dnDevInst, id))
        return CR_INVALID_DEVNODE;
    return tarnel::host::PnpStartDevice(id) == ERROR_SUCCESS ? CR_SUCCESS : CR_FAILURE;
}

LONG ComDBOpen(PHANDLE phComDB) {
    if (!phComDB)
        return ERROR_INVALID_PARAMETER;
    *phComDB = kComDbHandle;
    return ERROR_SUCCESS;
}

LONG ComDBClose(HANDLE hComDB) {
    return hComDB == kComDbHandle ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

LONG ComDBClaimPort(HANDLE hComDB, DWORD ComNumber, BOOL ForceClaim, PBOOL Forced) {
    if (hComDB != kComDbHandle)
        return ERROR_INVALID_PARAMETER;
    if (Forced)
        *Forced = FALSE;
    return changeBit(ComNumber, true, ForceClaim != FALSE);
}

LONG ComDBReleasePort(HANDLE hComDB, DWORD ComNumber) {
    if (hComDB != kComDbHandle)
        return ERROR_INVALID_PARAMETER;
    return changeBit(ComNumber, false, false);
}
