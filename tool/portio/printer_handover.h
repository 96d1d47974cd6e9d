// The hand-over of a port between the Windows print queues and the tool: while the tool holds a
// COM or LPT port, the local printers on it print to "FILE:", and get their port and attributes
// back when the tool lets the port go. Main thread only.
#pragma once

#include <vector>

#include "platform/win32.h"
#include "tool/support/xstring.h"

// The printers moved away from their ports, by printer name. A printer is remembered only once
// its move succeeded, so a restore never writes attributes that were not read.
class CHandOverMap {
  public:
    struct Record {
        XStringW printer;
        XStringW savedPort;  // as the spooler gave it, COM5: with its colon
        DWORD savedAttributes = 0;
    };

    // Replaces a record stored under the same printer name.
    void Store(const Record& record);
    bool IsEmpty() const { return m_records.empty(); }
    int GetCount() const { return static_cast<int>(m_records.size()); }
    const Record* Find(const XStringW& printer) const;
    const std::vector<Record>& Records() const { return m_records; }
    void RemoveIf(bool (*matches)(const Record&, const XStringW&), const XStringW& port);
    void RemoveAll() { m_records.clear(); }

  private:
    std::vector<Record> m_records;
};

// The process's map, created on first use; deleted with the port list manager.
CHandOverMap& GetHandOverMap();
void DeleteHandOverMap();

// A spooler port text cut at its first colon unless that is its first character: COM5: -> COM5.
XStringW BarePortName(const XStringW& portText);

bool moveDriverPort(CHandOverMap& map, const XStringW& portName, XStringW& failure);
bool RestoreDriverPort(CHandOverMap& map, const XStringW& portName);
bool HasFilePort();
bool AddNewWindowsDriverFILEPort(XStringW& failure);
