// CWinHelper: the environment questions of the tool (which Windows, secure boot, WOW64), the
// restart and the system folder. No state besides the two version calls looked up once.
#pragma once

#include "tool/support/xstring.h"

// OS version codes: 2000-2002 the Windows 95 family, 2003 NT 4 and older, 2004 2000, 2005 XP,
// 2006 Server 2003 (2007 R2), 2008/2009 Vista/Server 2008, 2011/2010 7/Server 2008 R2,
// 2013/2012 8/Server 2012, 2015/2014 8.1/Server 2012 R2, 2017/2016 10/Server 2016 and later.
// 2011 also stands for any version not recognised.
class CWinHelper {
  public:
    // Looks up VerifyVersionInfoW and VerSetConditionMask in kernel32; the program does this at
    // start (the first version check does it otherwise).
    static void LoadVersionCalls();
    static int GetOSVersion();
    static int CheckOS();
    static int GetMajorVer(int& major, int& minor);
    static bool IsSecureBootEnabled();
    static bool IsWow64();
    static bool RebootSystem();
    static XStringW GetSystemFolder();
    // The product version of the file's version resource (an empty path: the running program),
    // "a.b.c" or "a.b.c.Pdd"; empty when the file has no version resource.
    static XStringW GetVersionText(const XStringW& path);
};
