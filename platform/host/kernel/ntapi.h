// Everything the host kernel declares, in one include.
#pragma once

#include "platform/host/kernel/ntdef.h"
#include "platform/host/kernel/registry.h"
#include "platform/host/kernel/wdm.h"
#include "platform/host/kernel/ntddser.h"
#include "platform/host/kernel/tdi.h"
