// Everything the host machine's Win32 personality declares, in one include.
#pragma once

#include "platform/host/types.h"
#include "platform/host/win32/codepage.h"
#include "platform/host/win32/devices.h"
#include "platform/host/win32/errors.h"
#include "platform/host/win32/files.h"
#include "platform/host/win32/process.h"
#include "platform/host/win32/registry.h"
#include "platform/host/win32/serial.h"
#include "platform/host/win32/sync.h"
#include "platform/host/win32/threads.h"
#include "platform/host/win32/time.h"
#include "platform/host/win32/wide.h"
