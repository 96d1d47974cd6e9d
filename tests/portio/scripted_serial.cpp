// The scripted serial device (see scripted_serial.h).
#include "tests/portio/scripted_serial.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/host/kernel/ntddser.h"
#include "tool/portio/port_list_mng.h"
#include "tool/support/trace.h"

namespace tarnel::test {
namespace {

namespace hk = host::kernel;
namespace fs = std::filesystem;

ScriptedSerialState* g_state = nullptr;

const std::map<ULONG, ULONG> kGetForSet = {
    {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE},
    {IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_GET_LINE_CONTROL},
    {IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_GET_CHARS},
    {IOCTL_SERIAL_SET_HANDFLOW, IOCTL_SERIAL_GET_HANDFLOW},
    {IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, 0},
};

void Answer(PIRP irp, ULONG outLength, const void* data, size_t size) {
    size_t n = std::min<size_t>(size, outLength);
    std::memcpy(irp->AssociatedIrp.SystemBuffer, data, n);
    irp->IoStatus.Information = n;
}

void CancelHeldRead(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    {
        std::lock_guard<std::mutex> lock(g_state->mutex);
        if (g_state->heldRead == irp)
            g_state->heldRead = nullptr;
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    irp->IoStatus.Information = 0;
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(g_state->mutex);
        switch (stack->MajorFunction) {
            case IRP_MJ_CREATE:
                ++g_state->creates;
                break;
            case IRP_MJ_CLOSE:
                ++g_state->closes;
                break;
            case IRP_MJ_READ: {
                if (g_state->holdReads && !g_state->heldRead) {
                    IoMarkIrpPending(irp);
                    g_state->heldRead = irp;
                    IoSetCancelRoutine(irp, CancelHeldRead);
                    return STATUS_PENDING;
                }
                size_t n = std::min<size_t>(stack->Parameters.Read.Length, g_state->inbound.size());
                std::memcpy(buffer, g_state->inbound.data(), n);
                g_state->inbound.erase(0, n);
                irp->IoStatus.Information = n;
                break;
            }
            case IRP_MJ_WRITE: {
                std::string bytes(reinterpret_cast<char*>(buffer), stack->Parameters.Write.Length);
                size_t n = bytes.size();
                if (static_cast<int>(g_state->writes.size()) == g_state->shortWrite)
                    n = std::min(n, g_state->shortLength);
                g_state->writes.push_back(bytes);
                if (bytes == std::string("\x1D\x49\x43", 3))
                    g_state->inbound += g_state->reply;
                irp->IoStatus.Information = n;
                break;
            }
            case IRP_MJ_DEVICE_CONTROL: {
                auto& p = stack->Parameters.DeviceIoControl;
                g_state->codes.push_back(p.IoControlCode);
                if (auto set = kGetForSet.find(p.IoControlCode); set != kGetForSet.end()) {
                    g_state->settings[set->second].assign(buffer, buffer + p.InputBufferLength);
                    g_state->settings[p.IoControlCode].assign(buffer, buffer + p.InputBufferLength);
                } else if (p.IoControlCode == IOCTL_SERIAL_GET_MODEMSTATUS) {
                    Answer(irp, p.OutputBufferLength, &g_state->modem, sizeof(ULONG));
                } else if (p.IoControlCode == IOCTL_SERIAL_GET_COMMSTATUS) {
                    SERIAL_STATUS s{};
                    s.AmountInInQueue = static_cast<ULONG>(g_state->inbound.size());
                    Answer(irp, p.OutputBufferLength, &s, sizeof s);
                } else if (auto get = g_state->settings.find(p.IoControlCode);
                           get != g_state->settings.end()) {
                    Answer(irp, p.OutputBufferLength, get->second.data(), get->second.size());
                } else if (p.OutputBufferLength) {
                    std::memset(buffer, 0, p.OutputBufferLength);  // a fresh port: all zero
                    irp->IoStatus.Information = p.OutputBufferLength;
                }
                break;
            }
            default:
                break;
        }
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

std::string Utf16ToAscii(const std::string& bytes) {
    std::string out;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        unsigned c =
            static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

}  // namespace

void ScriptedSerialTest::SetUp() {
    machine_ = std::make_unique<host::TestMachine>();
    programDir_ = machine_->machine().driveC() / "Program Files" / "Tarnel";
    fs::create_directories(programDir_);
    host::SetProgramPath((programDir_ / "Tarnel_Configuration.exe").string());
    std::ofstream(programDir_ / "trace.txt") << "on";
    g_state = &device_;
    driver_ = hk::CreateDriverObject(u"\\Driver\\ScriptedSerial");
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_WRITE,
                        IRP_MJ_DEVICE_CONTROL})
        driver_->MajorFunction[major] = Dispatch;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\ScriptedSerial0");
    ASSERT_EQ(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &deviceObject_),
              STATUS_SUCCESS);
    deviceObject_->Flags |= DO_BUFFERED_IO;
}

void ScriptedSerialTest::TearDown() {
    // A test that failed half-way may leave ports behind; the next test starts from id 100.
    CPortListMng* manager = CPortListMng::GetInstance();
    for (int id = 100; id < 200; ++id) {
        if (manager->FindPort(id, nullptr)) {
            manager->ClosePort(id);
            while (manager->Remove(id) > 0) {
            }
        }
    }
    CPortListMng::ReleaseInstanceIfEmpty();
    for (auto& l : links_) {
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, l.c_str());
        IoDeleteSymbolicLink(&link);
    }
    if (deviceObject_)
        IoDeleteDevice(deviceObject_);
    hk::DestroyDriverObject(driver_);
    g_state = nullptr;
    host::SetProgramPath("");
    machine_.reset();
}

void ScriptedSerialTest::Link(const char16_t* dosName) {
    std::u16string l = std::u16string(u"\\??\\") + dosName;
    links_.push_back(l);
    UNICODE_STRING link, name;
    RtlInitUnicodeString(&link, links_.back().c_str());
    RtlInitUnicodeString(&name, u"\\Device\\ScriptedSerial0");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
}

bool ScriptedSerialTest::Saw(ULONG code) {
    std::lock_guard<std::mutex> lock(device_.mutex);
    return std::find(device_.codes.begin(), device_.codes.end(), code) != device_.codes.end();
}

void ScriptedSerialTest::Receive(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(device_.mutex);
    device_.inbound += bytes;
}

void ScriptedSerialTest::SetModem(ULONG lines) {
    std::lock_guard<std::mutex> lock(device_.mutex);
    device_.modem = lines;
}

bool ScriptedSerialTest::ReleaseHeldRead() {
    PIRP irp;
    {
        std::lock_guard<std::mutex> lock(device_.mutex);
        irp = device_.heldRead;
        if (!irp || !IoSetCancelRoutine(irp, nullptr))
            return false;  // none, or its cancel is under way
        device_.heldRead = nullptr;
        device_.holdReads = false;
        size_t n = std::min<size_t>(IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length,
                                    device_.inbound.size());
        std::memcpy(irp->AssociatedIrp.SystemBuffer, device_.inbound.data(), n);
        device_.inbound.erase(0, n);
        irp->IoStatus.Information = n;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return true;
}

int ScriptedSerialTest::Closes() {
    std::lock_guard<std::mutex> lock(device_.mutex);
    return device_.closes;
}

std::vector<std::string> ScriptedSerialTest::Writes() {
    std::lock_guard<std::mutex> lock(device_.mutex);
    return device_.writes;
}

std::string ScriptedSerialTest::TraceText() {
    std::string all;
    fs::path log = programDir_ / "Log";
    if (!fs::exists(log))
        return all;
    for (const auto& entry : fs::directory_iterator(log)) {
        std::ifstream in(entry.path(), std::ios::binary);
        all += Utf16ToAscii(
            std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    }
    return all;
}

int ScriptedSerialTest::Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

}  // namespace tarnel::test
