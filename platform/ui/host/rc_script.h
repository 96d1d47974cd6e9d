// The host's reader of the program's resource script (.rc): dialog templates, the string table and
// the version resource, from the same text windres compiles for Windows.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/ui.h"

namespace ui::host {

// Window style bits the host acts on (the system's values).
constexpr DWORD kWsVisible = 0x10000000;
constexpr DWORD kWsDisabled = 0x08000000;
constexpr DWORD kWsCaption = 0x00C00000;
constexpr DWORD kWsSysMenu = 0x00080000;
constexpr DWORD kWsBorder = 0x00800000;
constexpr DWORD kWsChild = 0x40000000;
constexpr DWORD kWsTabStop = 0x00010000;
constexpr DWORD kWsGroup = 0x00020000;
constexpr DWORD kBsTypeMask = 0x0F;
constexpr DWORD kBsDefPushButton = 0x1;
constexpr DWORD kBsCheckBox = 0x2;
constexpr DWORD kBsAutoCheckBox = 0x3;
constexpr DWORD kBsRadioButton = 0x4;
constexpr DWORD kBsGroupBox = 0x7;
constexpr DWORD kBsAutoRadioButton = 0x9;
constexpr DWORD kBsMultiLine = 0x2000;
constexpr DWORD kSsTypeMask = 0x1F;
constexpr DWORD kSsCenter = 0x1;
constexpr DWORD kSsRight = 0x2;
constexpr DWORD kSsEtchedFrame = 0x12;
constexpr DWORD kEsReadOnly = 0x800;
constexpr DWORD kLbsSort = 0x2;

enum class ControlKind { Static, Button, Edit, ListBox, ComboBox, ListView, Progress, IpAddress };

struct ControlTemplate {
    ControlKind kind = ControlKind::Static;
    std::string className;
    String text;
    int id = 0;
    DWORD style = 0;
    DWORD exStyle = 0;
    int x = 0, y = 0, cx = 0, cy = 0;  // dialog units
};

struct DialogTemplate {
    int id = 0;
    int x = 0, y = 0, cx = 0, cy = 0;  // dialog units
    DWORD style = 0;
    String caption;
    int pointSize = 8;
    String face;
    std::vector<ControlTemplate> controls;
};

struct ResourceScript {
    std::map<int, DialogTemplate> dialogs;
    std::map<int, String> strings;
    std::vector<int> icons;
    bool hasManifest = false;
    bool hasVersion = false;
    DWORD productVersionMs = 0, productVersionLs = 0;
    DWORD fileVersionMs = 0, fileVersionLs = 0;
};

// Parses script (with header as the text of its quoted include "resource.h"). On a syntax error
// returns false and describes it in error.
bool ParseResourceScript(const std::string& script, const std::string& header, ResourceScript& out,
                         std::string& error);

// The script given to UseResourceScript, parsed; null when none was given or it did not parse.
std::shared_ptr<const ResourceScript> Resources();

}  // namespace ui::host
