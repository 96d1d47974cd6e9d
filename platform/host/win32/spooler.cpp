// The print spooler and the Local Port monitor over the machine's registry (layout in spooler.h).
// Runs in the caller's thread; one lock serialises this process's read-modify-write of a printer.
#include "platform/host/win32/spooler.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/win32/handles.h"
#include "platform/host/win32/registry.h"

namespace tarnel::host {
namespace {

const char16_t kPrintersKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";
const char16_t kPortsKey[] = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";
const char16_t kMonitorName[] = u"Local Port";
const char16_t kXcvMonitorPrefix[] = u",XcvMonitor ";

std::mutex g_lock;

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// What the spooler keeps of one printer.
struct Printer {
    std::u16string name;
    std::u16string port;
    std::u16string driver;
    std::u16string share;
    std::u16string comment;
    std::u16string location;
    DWORD attributes = 0;
};

class PrinterHandle : public KernelObject {
  public:
    static const HandleKind kKind;
    PrinterHandle(std::u16string printerName, ACCESS_MASK granted, bool isMonitor)
        : KernelObject(kKind),
          printer(std::move(printerName)),
          access(granted),
          monitor(isMonitor) {}
    const std::u16string printer;  // empty for the monitor
    const ACCESS_MASK access;
    const bool monitor;
};
const HandleKind PrinterHandle::kKind{"Printer"};

std::u16string Text(const WCHAR* s) {
    return s ? std::u16string(s) : std::u16string();
}

bool ValidPrinterName(const std::u16string& name) {
    return !name.empty() && name.size() < 221 && name.find(u'\\') == std::u16string::npos &&
           name.find(u',') == std::u16string::npos;
}

HKEY OpenKey(const char16_t* path, bool write) {
    HKEY key = nullptr;
    REGSAM sam = (write ? KEY_ALL_ACCESS : KEY_READ) | KEY_WOW64_64KEY;
    LSTATUS status = write ? RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, sam, nullptr,
                                             &key, nullptr)
                           : RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, sam, &key);
    return status == ERROR_SUCCESS ? key : nullptr;
}

std::u16string ReadText(HKEY key, const char16_t* value) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, value, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return {};
    std::vector<BYTE> data(size + sizeof(WCHAR));
    if (RegQueryValueExW(key, value, nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
        return {};
    std::u16string text(size / sizeof(WCHAR), u'\0');
    std::memcpy(text.data(), data.data(), text.size() * sizeof(WCHAR));
    while (!text.empty() && text.back() == u'\0')
        text.pop_back();
    return text;
}

DWORD ReadDword(HKEY key, const char16_t* value) {
    DWORD type = 0, data = 0, size = sizeof data;
    if (RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof data)
        return 0;
    return data;
}

LSTATUS WriteText(HKEY key, const char16_t* value, const std::u16string& text) {
    return RegSetValueExW(key, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
}

std::u16string PrinterPath(const std::u16string& name) {
    return std::u16string(kPrintersKey) + u"\\" + name;
}

bool LoadPrinter(const std::u16string& name, Printer& p) {
    HKEY key = OpenKey(PrinterPath(name).c_str(), false);
    if (!key)
        return false;
    p.name = name;
    p.port = ReadText(key, u"Port");
    p.driver = ReadText(key, u"Printer Driver");
    p.share = ReadText(key, u"Share Name");
    p.comment = ReadText(key, u"Description");
    p.location = ReadText(key, u"Location");
    p.attributes = ReadDword(key, u"Attributes");
    RegCloseKey(key);
    return true;
}

DWORD StorePrinter(const Printer& p) {
    HKEY key = OpenKey(PrinterPath(p.name).c_str(), true);
    if (!key)
        return ERROR_ACCESS_DENIED;
    LSTATUS status = WriteText(key, u"Name", p.name);
    if (!status)
        status = WriteText(key, u"Port", p.port);
    if (!status)
        status = WriteText(key, u"Printer Driver", p.driver);
    if (!status)
        status = WriteText(key, u"Share Name", p.share);
    if (!status)
        status = WriteText(key, u"Description", p.comment);
    if (!status)
        status = WriteText(key, u"Location", p.location);
    if (!status)
        status = RegSetValueExW(key, u"Attributes", 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&p.attributes), sizeof(DWORD));
    RegCloseKey(key);
    return static_cast<DWORD>(status);
}

// Subkey names of a key, or value names when `values`.
std::vector<std::u16string> Names(const char16_t* path, bool values) {
    std::vector<std::u16string> names;
    HKEY key = OpenKey(path, false);
    if (!key)
        return names;
    for (DWORD i = 0;; ++i) {
        WCHAR name[512];
        DWORD length = 512;
        LSTATUS status =
            values ? RegEnumValueW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr)
                   : RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS)
            break;
        names.emplace_back(name, length);
    }
    RegCloseKey(key);
    return names;
}

bool PortExists(const std::u16string& port) {
    for (const auto& name : Names(kPortsKey, true))
        if (name == port)
            return true;
    return false;
}

// Lays out records at the front of a caller's buffer and their strings from its end, as the
// spooler does; counts the size when the buffer is too small.
class Packer {
  public:
    Packer(BYTE* buffer, DWORD size, DWORD fixed) : buffer_(buffer), end_(size), fixed_(fixed) {}
    void addSize(const std::u16string& s) { needed_ += (s.size() + 1) * sizeof(WCHAR); }
    DWORD needed() const { return static_cast<DWORD>(needed_ + fixed_); }
    // Only after the caller checked needed() against the buffer.
    LPWSTR put(const std::u16string& s) {
        end_ -= static_cast<DWORD>((s.size() + 1) * sizeof(WCHAR));
        end_ &= ~static_cast<DWORD>(1);
        auto* out = reinterpret_cast<WCHAR*>(buffer_ + end_);
        std::memcpy(out, s.c_str(), (s.size() + 1) * sizeof(WCHAR));
        return out;
    }

  private:
    BYTE* buffer_;
    DWORD end_;
    size_t needed_ = 0;
    DWORD fixed_;
};

const std::u16string kProcessor = u"winprint";
const std::u16string kDatatype = u"RAW";
const std::u16string kEmpty;

void SizePrinter(Packer& packer, const Printer& p) {
    for (const auto* s : {&p.name, &p.share, &p.port, &p.driver, &p.comment, &p.location, &kEmpty,
                          &kProcessor, &kDatatype, &kEmpty})
        packer.addSize(*s);
}

void PackPrinter(Packer& packer, const Printer& p, PRINTER_INFO_2W& info) {
    info = PRINTER_INFO_2W{};
    info.pPrinterName = packer.put(p.name);
    info.pShareName = packer.put(p.share);
    info.pPortName = packer.put(p.port);
    info.pDriverName = packer.put(p.driver);
    info.pComment = packer.put(p.comment);
    info.pLocation = packer.put(p.location);
    info.pSepFile = packer.put(kEmpty);
    info.pPrintProcessor = packer.put(kProcessor);
    info.pDatatype = packer.put(kDatatype);
    info.pParameters = packer.put(kEmpty);
    info.Attributes = p.attributes;
    info.Priority = 1;
    info.DefaultPriority = 0;
}

// Takes the settable fields of a level-2 record; the name stays the printer's own.
DWORD ApplyInfo(Printer& p, const PRINTER_INFO_2W& info) {
    if (!info.pPortName || !*info.pPortName)
        return ERROR_INVALID_PARAMETER;
    std::u16string port = Text(info.pPortName);
    if (!PortExists(port))
        return ERROR_UNKNOWN_PORT;
    p.port = port;
    p.driver = Text(info.pDriverName);
    p.share = Text(info.pShareName);
    p.comment = Text(info.pComment);
    p.location = Text(info.pLocation);
    p.attributes = info.Attributes;
    return ERROR_SUCCESS;
}

}  // namespace
}  // namespace tarnel::host

using namespace tarnel::host;

BOOL EnumPrintersW(DWORD flags, LPWSTR name, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                   LPDWORD returned) {
    if (!needed || !returned)
        return Fail(ERROR_INVALID_PARAMETER);
    *needed = 0;
    *returned = 0;
    if (level != 2)
        return Fail(ERROR_INVALID_LEVEL);
    if (name && *name)
        return Fail(ERROR_INVALID_NAME);  // no print servers on the host
    std::vector<Printer> printers;
    if (flags & PRINTER_ENUM_LOCAL) {
        std::lock_guard<std::mutex> lock(g_lock);
        for (const auto& key : Names(kPrintersKey, false)) {
            Printer p;
            if (LoadPrinter(key, p))
                printers.push_back(std::move(p));
        }
    }
    Packer packer(buffer, size, static_cast<DWORD>(printers.size() * sizeof(PRINTER_INFO_2W)));
    for (const auto& p : printers)
        SizePrinter(packer, p);
    *needed = packer.needed();
    if (!buffer || size < *needed)
        return printers.empty() ? TRUE : Fail(ERROR_INSUFFICIENT_BUFFER);
    auto* infos = reinterpret_cast<PRINTER_INFO_2W*>(buffer);
    for (size_t i = 0; i < printers.size(); ++i)
        PackPrinter(packer, printers[i], infos[i]);
    *returned = static_cast<DWORD>(printers.size());
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL OpenPrinterW(LPWSTR printerName, PHANDLE handle, LPPRINTER_DEFAULTSW defaults) {
    if (!handle)
        return Fail(ERROR_INVALID_PARAMETER);
    *handle = nullptr;
    std::u16string name = Text(printerName);
    std::shared_ptr<PrinterHandle> object;
    std::u16string prefix = kXcvMonitorPrefix;
    if (name.compare(0, prefix.size(), prefix) == 0) {
        if (name.substr(prefix.size()) != kMonitorName)
            return Fail(ERROR_INVALID_PRINTER_NAME);
        ACCESS_MASK access = defaults ? defaults->DesiredAccess : SERVER_ACCESS_ADMINISTER;
        object = std::make_shared<PrinterHandle>(std::u16string(), access, true);
    } else {
        Printer p;
        std::lock_guard<std::mutex> lock(g_lock);
        if (!ValidPrinterName(name) || !LoadPrinter(name, p))
            return Fail(ERROR_INVALID_PRINTER_NAME);
        ACCESS_MASK access = defaults ? defaults->DesiredAccess : PRINTER_ACCESS_USE;
        object = std::make_shared<PrinterHandle>(name, access, false);
    }
    HANDLE h = HandleTable::instance().insert(object);
    if (!h)
        return FALSE;
    *handle = h;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL ClosePrinter(HANDLE printer) {
    if (!HandleTable::instance().close(printer, &PrinterHandle::kKind))
        return FALSE;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL GetPrinterW(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed) {
    auto object = HandleTable::instance().lookup<PrinterHandle>(printer);
    if (!object || object->monitor)
        return Fail(ERROR_INVALID_HANDLE);
    if (!needed)
        return Fail(ERROR_INVALID_PARAMETER);
    *needed = 0;
    if (level != 2)
        return Fail(ERROR_INVALID_LEVEL);
    if (!(object->access & (PRINTER_ACCESS_USE | PRINTER_ACCESS_ADMINISTER)))
        return Fail(ERROR_ACCESS_DENIED);
    Printer p;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (!LoadPrinter(object->printer, p))
            return Fail(ERROR_INVALID_PRINTER_NAME);  // deleted while open
    }
    Packer packer(buffer, size, sizeof(PRINTER_INFO_2W));
    SizePrinter(packer, p);
    *needed = packer.needed();
    if (!buffer || size < *needed)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    PackPrinter(packer, p, *reinterpret_cast<PRINTER_INFO_2W*>(buffer));
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetPrinterW(HANDLE printer, DWORD level, LPBYTE data, DWORD command) {
    auto object = HandleTable::instance().lookup<PrinterHandle>(printer);
    if (!object || object->monitor)
        return Fail(ERROR_INVALID_HANDLE);
    if (command != 0)
        return Fail(ERROR_INVALID_PRINTER_COMMAND);  // pause, resume, purge: not kept here
    if (level != 2)
        return Fail(ERROR_INVALID_LEVEL);
    if (!data)
        return Fail(ERROR_INVALID_PARAMETER);
    if (!(object->access & PRINTER_ACCESS_ADMINISTER))
        return Fail(ERROR_ACCESS_DENIED);
    const auto& info = *reinterpret_cast<const PRINTER_INFO_2W*>(data);
    if (info.pPrinterName && Text(info.pPrinterName) != object->printer)
        return Fail(ERROR_NOT_SUPPORTED);  // renaming is not offered
    std::lock_guard<std::mutex> lock(g_lock);
    Printer p;
    if (!LoadPrinter(object->printer, p))
        return Fail(ERROR_INVALID_PRINTER_NAME);
    DWORD error = ApplyInfo(p, info);
    if (!error)
        error = StorePrinter(p);
    if (error)
        return Fail(error);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

HANDLE AddPrinterW(LPWSTR serverName, DWORD level, LPBYTE data) {
    if (serverName && *serverName) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    if (level != 2 || !data) {
        SetLastError(level != 2 ? ERROR_INVALID_LEVEL : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const auto& info = *reinterpret_cast<const PRINTER_INFO_2W*>(data);
    Printer p;
    p.name = Text(info.pPrinterName);
    {
        std::lock_guard<std::mutex> lock(g_lock);
        Printer existing;
        DWORD error = ValidPrinterName(p.name) ? ERROR_SUCCESS : ERROR_INVALID_PRINTER_NAME;
        if (!error && LoadPrinter(p.name, existing))
            error = ERROR_PRINTER_ALREADY_EXISTS;
        if (!error)
            error = ApplyInfo(p, info);
        if (!error)
            error = StorePrinter(p);
        if (error) {
            SetLastError(error);
            return nullptr;
        }
    }
    auto object = std::make_shared<PrinterHandle>(p.name, PRINTER_ALL_ACCESS, false);
    HANDLE h = HandleTable::instance().insert(object);
    if (h)
        SetLastError(ERROR_SUCCESS);
    return h;
}

BOOL EnumPortsW(LPWSTR serverName, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                LPDWORD returned) {
    if (!needed || !returned)
        return Fail(ERROR_INVALID_PARAMETER);
    *needed = 0;
    *returned = 0;
    if (serverName && *serverName)
        return Fail(ERROR_INVALID_NAME);
    if (level != 1 && level != 2)
        return Fail(ERROR_INVALID_LEVEL);
    std::vector<std::u16string> ports = Names(kPortsKey, true);
    DWORD fixed = level == 1 ? sizeof(PORT_INFO_1W) : sizeof(PORT_INFO_2W);
    Packer packer(buffer, size, static_cast<DWORD>(ports.size() * fixed));
    const std::u16string monitor = kMonitorName;
    for (const auto& port : ports) {
        packer.addSize(port);
        if (level == 2) {
            packer.addSize(monitor);
            packer.addSize(monitor);
        }
    }
    *needed = packer.needed();
    if (!buffer || size < *needed)
        return ports.empty() ? TRUE : Fail(ERROR_INSUFFICIENT_BUFFER);
    for (size_t i = 0; i < ports.size(); ++i) {
        if (level == 1) {
            reinterpret_cast<PORT_INFO_1W*>(buffer)[i].pName = packer.put(ports[i]);
        } else {
            auto& info = reinterpret_cast<PORT_INFO_2W*>(buffer)[i];
            info.pPortName = packer.put(ports[i]);
            info.pMonitorName = packer.put(monitor);
            info.pDescription = packer.put(monitor);
            info.fPortType = PORT_TYPE_WRITE | PORT_TYPE_READ;
            info.Reserved = 0;
        }
    }
    *returned = static_cast<DWORD>(ports.size());
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL XcvDataW(HANDLE xcv, LPCWSTR dataName, PBYTE input, DWORD inputSize, PBYTE, DWORD,
              PDWORD outputNeeded, PDWORD status) {
    auto object = HandleTable::instance().lookup<PrinterHandle>(xcv);
    if (!object || !object->monitor)
        return Fail(ERROR_INVALID_HANDLE);
    if (!dataName || !status)
        return Fail(ERROR_INVALID_PARAMETER);
    if (outputNeeded)
        *outputNeeded = 0;
    std::u16string command = dataName;
    if (command != u"AddPort" && command != u"DeletePort") {
        *status = ERROR_INVALID_PARAMETER;
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    // The port name must be terminated within the input.
    std::u16string port;
    bool terminated = false;
    for (DWORD i = 0; input && i + 1 < inputSize; i += sizeof(WCHAR)) {
        WCHAR c;
        std::memcpy(&c, input + i, sizeof c);
        if (!c) {
            terminated = true;
            break;
        }
        port.push_back(c);
    }
    SetLastError(ERROR_SUCCESS);
    if (!terminated || port.empty()) {
        *status = ERROR_INVALID_PARAMETER;
        return TRUE;
    }
    if (!(object->access & SERVER_ACCESS_ADMINISTER)) {
        *status = ERROR_ACCESS_DENIED;
        return TRUE;
    }
    std::lock_guard<std::mutex> lock(g_lock);
    bool exists = PortExists(port);
    if (command == u"AddPort") {
        if (exists) {
            *status = ERROR_ALREADY_EXISTS;
            return TRUE;
        }
        HKEY key = OpenKey(kPortsKey, true);
        LSTATUS r = key ? WriteText(key, port.c_str(), u"") : ERROR_ACCESS_DENIED;
        if (key)
            RegCloseKey(key);
        *status = static_cast<DWORD>(r);
        return TRUE;
    }
    if (!exists) {
        *status = ERROR_UNKNOWN_PORT;
        return TRUE;
    }
    HKEY key = OpenKey(kPortsKey, true);
    LSTATUS r = key ? RegDeleteValueW(key, port.c_str()) : ERROR_ACCESS_DENIED;
    if (key)
        RegCloseKey(key);
    *status = static_cast<DWORD>(r);
    return TRUE;
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    if (flags & ~static_cast<UINT>(LPTR)) {
        SetLastError(ERROR_INVALID_PARAMETER);  // moveable blocks are not offered
        return nullptr;
    }
    void* block = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1)
                                          : std::malloc(bytes ? bytes : 1);
    if (!block)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return block;
}

HLOCAL LocalFree(HLOCAL block) {
    std::free(block);
    return nullptr;
}
