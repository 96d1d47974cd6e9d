// The service control manager over Services\<name> and the host kernel's driver state.
#include "platform/host/win32/services.h"

#include <map>
#include <set>
#include <mutex>
#include <string>

#include "platform/host/machine/machine.h"
#include "platform/host/win32/device_registry.h"
#include "platform/host/win32/pnp_manager.h"

namespace dr = tarnel::host::devreg;

namespace {

const std::u16string kServices = u"SYSTEM\\CurrentControlSet\\Services\\";

struct Entry {
    bool manager;
    std::u16string service;
    DWORD access;
};

struct Table {
    std::mutex mutex;
    std::map<ULONG_PTR, Entry> open;
    // Services asked to stop that have not stopped yet (see driverStopPending).
    std::set<std::u16string> stopping;
    ULONG_PTR next = 0x53430000;
};

Table& table() {
    static Table t;
    return t;
}

SC_HANDLE add(Entry e) {
    std::lock_guard<std::mutex> lock(table().mutex);
    const ULONG_PTR h = table().next;
    table().next += 4;
    table().open[h] = std::move(e);
    return reinterpret_cast<SC_HANDLE>(h);
}

bool lookup(SC_HANDLE h, Entry& e) {
    std::lock_guard<std::mutex> lock(table().mutex);
    auto it = table().open.find(reinterpret_cast<ULONG_PTR>(h));
    if (it == table().open.end())
        return false;
    e = it->second;
    return true;
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

bool running(const std::u16string& service) {
    return tarnel::host::PnpServiceRunning(service);
}

bool markedForDelete(const std::u16string& service) {
    DWORD type = 0;
    std::vector<BYTE> data;
    return dr::GetRaw(kServices + service, u"DeleteFlag", type, data) && type == REG_DWORD &&
           data.size() == 4 && data[0] == 1;
}

// A service marked for deletion goes once its driver no longer runs.
void collect(const std::u16string& service) {
    if (markedForDelete(service) && !running(service))
        dr::DeleteTree(kServices + service);
}

}  // namespace

SC_HANDLE OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess) {
    if ((lpMachineName && *lpMachineName) ||
        (lpDatabaseName && std::u16string(lpDatabaseName) != u"ServicesActive")) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    return add({true, {}, dwDesiredAccess});
}

SC_HANDLE OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
    Entry manager;
    if (!lookup(hSCManager, manager) || !manager.manager) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!lpServiceName || !*lpServiceName) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    const std::u16string name(lpServiceName);
    collect(name);
    if (!dr::KeyExists(kServices + name)) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    return add({false, name, dwDesiredAccess});
}

BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    Entry e;
    if (!lookup(hService, e) || e.manager)
        return fail(ERROR_INVALID_HANDLE);
    if (!(e.access & SERVICE_QUERY_STATUS))
        return fail(ERROR_ACCESS_DENIED);
    if (!lpServiceStatus)
        return fail(ERROR_INVALID_PARAMETER);
    *lpServiceStatus = SERVICE_STATUS{};
    lpServiceStatus->dwServiceType = SERVICE_KERNEL_DRIVER;
    const bool on = running(e.service);
    bool stopping = false;
    {
        std::lock_guard<std::mutex> lock(table().mutex);
        if (on)
            stopping = table().stopping.count(e.service) != 0;
        else
            table().stopping.erase(e.service);
    }
    lpServiceStatus->dwCurrentState = stopping ? SERVICE_STOP_PENDING
                                      : on     ? SERVICE_RUNNING
                                               : SERVICE_STOPPED;
    lpServiceStatus->dwControlsAccepted = on && !stopping ? SERVICE_ACCEPT_STOP : 0;
    return TRUE;
}

BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
    Entry e;
    if (!lookup(hService, e) || e.manager)
        return fail(ERROR_INVALID_HANDLE);
    if (dwControl != SERVICE_CONTROL_STOP)
        return fail(ERROR_INVALID_SERVICE_CONTROL);
    if (!(e.access & SERVICE_STOP))
        return fail(ERROR_ACCESS_DENIED);
    if (!lpServiceStatus)
        return fail(ERROR_INVALID_PARAMETER);
    QueryServiceStatus(hService, lpServiceStatus);
    if (lpServiceStatus->dwCurrentState == SERVICE_STOP_PENDING)
        return fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    // A Plug and Play driver stops when its last device is removed, never on request; a machine
    // whose drivers hang in their stop accepts the control and leaves it pending.
    if (lpServiceStatus->dwCurrentState == SERVICE_RUNNING &&
        tarnel::host::Machine::current().config().driverStopPending) {
        {
            std::lock_guard<std::mutex> lock(table().mutex);
            table().stopping.insert(e.service);
        }
        return QueryServiceStatus(hService, lpServiceStatus);
    }
    return fail(lpServiceStatus->dwCurrentState == SERVICE_RUNNING ? ERROR_INVALID_SERVICE_CONTROL
                                                                   : ERROR_SERVICE_NOT_ACTIVE);
}

BOOL DeleteService(SC_HANDLE hService) {
    Entry e;
    if (!lookup(hService, e) || e.manager)
        return fail(ERROR_INVALID_HANDLE);
    if (!(e.access & DELETE))
        return fail(ERROR_ACCESS_DENIED);
    if (markedForDelete(e.service))
        return fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    if (!dr::KeyExists(kServices + e.service))
        return fail(ERROR_SERVICE_DOES_NOT_EXIST);
    if (running(e.service))
        dr::SetDword(kServices + e.service, u"DeleteFlag", 1);
    else
        dr::DeleteTree(kServices + e.service);
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject) {
    std::lock_guard<std::mutex> lock(table().mutex);
    return table().open.erase(reinterpret_cast<ULONG_PTR>(hSCObject)) ? TRUE
                                                                      : fail(ERROR_INVALID_HANDLE);
}
