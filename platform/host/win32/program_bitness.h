// Which build of a program runs: on a 64-bit machine whose tool runs under WOW64, a process can
// still be the 64-bit build of the tool (the one that installs devices), which WOW64 does not
// wrap.
#pragma once

namespace tarnel::host {

void SetProgramIs64Bit(bool is64Bit);
bool ProgramIs64Bit();

}  // namespace tarnel::host
