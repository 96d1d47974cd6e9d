// Moving the print queues of a port to "FILE:" and back (see printer_handover.h).
#include "tool/portio/printer_handover.h"

#include <memory>

#include "tool/support/support_memory.h"

namespace {

const WCHAR kFilePort[] = TEXT("FILE:");

CHandOverMap* g_map = nullptr;

// A writable copy of a text, for the spooler calls that take LPWSTR.
std::vector<WCHAR> Writable(const XStringW& text) {
    std::vector<WCHAR> copy(text.GetString(), text.GetString() + text.GetLength() + 1);
    return copy;
}

// A zero-filled local block the spooler fills, freed on every path.
struct LocalBlock {
    HLOCAL block = nullptr;
    explicit LocalBlock(DWORD size) : block(LocalAlloc(LMEM_ZEROINIT, size)) {}
    ~LocalBlock() {
        if (block)
            LocalFree(block);
    }
    LocalBlock(const LocalBlock&) = delete;
    LocalBlock& operator=(const LocalBlock&) = delete;
    BYTE* bytes() const { return static_cast<BYTE*>(block); }
};

struct PrinterHandle {
    HANDLE handle = nullptr;
    ~PrinterHandle() {
        if (handle)
            ClosePrinter(handle);
    }
};

bool OpenForAdministration(const XStringW& name, PrinterHandle& printer) {
    PRINTER_DEFAULTSW defaults{nullptr, nullptr, PRINTER_ALL_ACCESS};
    std::vector<WCHAR> writable = Writable(name);
    return OpenPrinterW(writable.data(), &printer.handle, &defaults) != FALSE;
}

// The level-2 information of an open printer: the size query, then the read.
enum class InfoResult { Read, SizeFailed, AllocationFailed, ReadFailed };
InfoResult ReadInfo(HANDLE printer, std::unique_ptr<LocalBlock>& block) {
    DWORD needed = 0;
    if (!GetPrinterW(printer, 2, nullptr, 0, &needed) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return InfoResult::SizeFailed;
    block = std::make_unique<LocalBlock>(needed);
    if (!block->block)
        return InfoResult::AllocationFailed;
    if (!GetPrinterW(printer, 2, block->bytes(), needed, &needed))
        return InfoResult::ReadFailed;
    return InfoResult::Read;
}

}  // namespace

void CHandOverMap::Store(const Record& record) {
    for (auto& r : m_records) {
        if (r.printer == record.printer) {
            r = record;
            return;
        }
    }
    m_records.push_back(record);
}

const CHandOverMap::Record* CHandOverMap::Find(const XStringW& printer) const {
    for (const auto& r : m_records)
        if (r.printer == printer)
            return &r;
    return nullptr;
}

void CHandOverMap::RemoveIf(bool (*matches)(const Record&, const XStringW&), const XStringW& port) {
    std::erase_if(m_records, [&](const Record& r) { return matches(r, port); });
}

CHandOverMap& GetHandOverMap() {
    if (!g_map)
        g_map = new CHandOverMap;
    return *g_map;
}

void DeleteHandOverMap() {
    delete g_map;
    g_map = nullptr;
}

XStringW BarePortName(const XStringW& portText) {
    int colon = portText.Find(TEXT(":"));
    if (colon > 0)
        return portText.Left(colon);
    return portText;
}

bool HasFilePort() {
    DWORD needed = 0, count = 0;
    EnumPortsW(nullptr, 2, nullptr, 0, &needed, &count);
    if (needed == 0)
        return false;
    LocalBlock block(needed);
    if (!block.block || !EnumPortsW(nullptr, 2, block.bytes(), needed, &needed, &count))
        return false;
    const auto* ports = reinterpret_cast<const PORT_INFO_2W*>(block.bytes());
    for (DWORD i = 0; i < count; ++i)
        if (ports[i].pPortName && XStringW(ports[i].pPortName) == kFilePort)
            return true;
    return false;
}

bool AddNewWindowsDriverFILEPort(XStringW& failure) {
    PRINTER_DEFAULTSW defaults{nullptr, nullptr, SERVER_ACCESS_ADMINISTER};
    WCHAR monitor[] = TEXT(",XcvMonitor Local Port");
    HANDLE xcv = nullptr;
    if (!OpenPrinterW(monitor, &xcv, &defaults))
        return false;
    WCHAR port[] = TEXT("FILE:");
    DWORD needed = 0, status = 0;
    bool ok = XcvDataW(xcv, TEXT("AddPort"), reinterpret_cast<BYTE*>(port), sizeof port, nullptr, 0,
                       &needed, &status) &&
              status == ERROR_SUCCESS;
    if (!ok)
        failure.Format(TEXT("+AddNewWindowsDriverFILEPort :failed with (%d)"),
                       status != ERROR_SUCCESS ? status : GetLastError());
    ClosePrinter(xcv);
    return ok;
}

bool moveDriverPort(CHandOverMap& map, const XStringW& portName, XStringW& failure) {
    bool result = true;
    DWORD needed = 0, count = 0;
    EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &count);
    if (needed == 0)
        return true;
    LocalBlock list(needed);
    if (!list.block ||
        !EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, list.bytes(), needed, &needed, &count))
        return true;
    const auto* printers = reinterpret_cast<const PRINTER_INFO_2W*>(list.bytes());
    for (DWORD i = 0; i < count; ++i) {
        if (!printers[i].pPortName || !printers[i].pPrinterName)
            continue;
        XStringW portText(printers[i].pPortName);
        if (!(BarePortName(portText) == portName))
            continue;
        XStringW name(printers[i].pPrinterName);
        PrinterHandle printer;
        if (!OpenForAdministration(name, printer)) {
            failure = TEXT("moveDriverPort : failed to OpenPrinter ");
            continue;
        }
        std::unique_ptr<LocalBlock> info;
        InfoResult read = result ? ReadInfo(printer.handle, info) : InfoResult::SizeFailed;
        if (read == InfoResult::SizeFailed && result) {
            failure =
                TEXT("MoveWindowsDriverPort : failed to GetPrinter : ERROR_INSUFFICIENT_BUFFER ");
            result = false;
        }
        if (read == InfoResult::SizeFailed || read == InfoResult::AllocationFailed) {
            // A failure stops the moves of the printers after it in this call.
            failure = TEXT("moveDriverPort : failed to LocalAlloc ");
            result = false;
            continue;
        }
        if (read == InfoResult::ReadFailed) {
            failure = TEXT("moveDriverPort : failed to GetPrinter");
            result = false;
            continue;
        }
        auto* data = reinterpret_cast<PRINTER_INFO_2W*>(info->bytes());
        CHandOverMap::Record record{name, portText, data->Attributes};
        if (data->Attributes & PRINTER_ATTRIBUTE_ENABLE_BIDI)
            data->Attributes = PRINTER_ATTRIBUTE_RAW_ONLY;
        if (!HasFilePort())
            result = AddNewWindowsDriverFILEPort(failure);
        if (result) {
            WCHAR filePort[] = TEXT("FILE:");
            data->pPortName = filePort;
            result = SetPrinterW(printer.handle, 2, info->bytes(), 0) != FALSE;
            if (result)
                map.Store(record);
        }
        if (!result)
            failure.Format(
                TEXT("moveDriverPort : failed to SetPrinter and PortName is 'FILE:' (%d)"),
                GetLastError());
    }
    return result;
}

bool RestoreDriverPort(CHandOverMap& map, const XStringW& portName) {
    bool result = true;
    if (map.IsEmpty())
        return true;
    for (const auto& record : map.Records()) {
        if (!(BarePortName(record.savedPort) == portName))
            continue;
        PrinterHandle printer;
        if (!OpenForAdministration(record.printer, printer))
            continue;
        std::unique_ptr<LocalBlock> info;
        if (ReadInfo(printer.handle, info) != InfoResult::Read) {
            result = false;
            continue;
        }
        auto* data = reinterpret_cast<PRINTER_INFO_2W*>(info->bytes());
        std::vector<WCHAR> savedPort = Writable(record.savedPort);
        data->pPortName = savedPort.data();
        data->Attributes = record.savedAttributes;
        if (!SetPrinterW(printer.handle, 2, info->bytes(), 0))
            result = false;
    }
    // Only this port's records go: printers moved for another port still wait for theirs.
    map.RemoveIf([](const CHandOverMap::Record& r,
                    const XStringW& port) { return BarePortName(r.savedPort) == port; },
                 portName);
    return result;
}
