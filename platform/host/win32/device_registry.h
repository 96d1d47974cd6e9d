// Registry side of device installation on the host machine: instance keys under Enum, driver
// keys under Control\Class, the COM port database, all in the machine's SYSTEM hive.
#pragma once

#include <string>
#include <vector>

#include "platform/host/types.h"

namespace tarnel::host::devreg {

inline const std::u16string kEnum = u"SYSTEM\\CurrentControlSet\\Enum\\";
inline const std::u16string kClass = u"SYSTEM\\CurrentControlSet\\Control\\Class\\";
inline const std::u16string kPortsGuid = u"{4D36E978-E325-11CE-BFC1-08002BE10318}";

bool KeyExists(const std::u16string& path);
bool CreateKey(const std::u16string& path);
bool DeleteTree(const std::u16string& path);
std::vector<std::u16string> SubKeys(const std::u16string& path);
bool SetText(const std::u16string& path, const char16_t* name, const std::u16string& text);
bool SetMultiText(const std::u16string& path, const char16_t* name,
                  const std::vector<std::u16string>& strings);
bool SetDword(const std::u16string& path, const char16_t* name, DWORD value);
bool SetRaw(const std::u16string& path, const char16_t* name, DWORD type,
            const std::vector<BYTE>& data);
bool GetRaw(const std::u16string& path, const char16_t* name, DWORD& type, std::vector<BYTE>& data);
std::u16string GetText(const std::u16string& path, const char16_t* name);
std::vector<std::u16string> GetMultiText(const std::u16string& path, const char16_t* name);

// Every root-enumerated instance, "ROOT\<class>\<n>", in registry order.
std::vector<std::u16string> RootInstances();

// The COM port database: the lowest free number claimed, or 0 when all are used.
int ClaimComNumber();
void ReleaseComNumber(int number);
// "COM7" gives 7; 0 for anything else.
int ComNumberOf(const std::u16string& portName);

std::u16string FormatGuid(const GUID& guid);

}  // namespace tarnel::host::devreg
