#!/usr/bin/env python3
"""Tarnel_Configuration.exe (the x64 build) under wine64 without a display, run the way an
installer runs it: a command line, an exit code, the CMDLine trace in the program's Log folder.
The registry the tool leaves behind is read with Wine's own reg.exe.

  invalid  rejected command lines: their exit codes and error lines, and that nothing ran
  store    "/n" assigns the one installed port: the keys and values the driver reads; with
           "/rs" the run asks for a restart and exits with 3010
  install  "/i" with the driver package beside the tool, then "/u"

No command line used here searches for printers; wine processes run in a network namespace of
their own where one can be made. Exit 77 (skip) when wine64 is missing."""

import argparse
import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wineprefix  # noqa: E402

PROGRAM_DIR = "Tarnel"
INSTANCES = r"HKLM\System\CurrentControlSet\Enum\Root\PORTS"
STORE = r"HKLM\SOFTWARE\Morvik\TARNEL"
SERVICE = r"HKLM\System\CurrentControlSet\Services\TARNEL"
FRIENDLY = "Tarnel Virtual Serial Port (COM7)"

failures = []


def check(ok, message, detail=""):
    print(("ok: " if ok else "FAIL: ") + message)
    if not ok:
        failures.append(message)
        if detail:
            print("      " + detail.replace("\n", "\n      "))
    return ok


def utf16_file(path):
    with open(path, "rb") as f:
        return f.read().decode("utf-16-le", "replace")


class Tool:
    """The program folder in the prefix and one run of the tool per command line."""

    def __init__(self, prefix, exe, out):
        self.prefix = prefix
        self.out = out
        self.folder = prefix.drive_c(PROGRAM_DIR)
        os.makedirs(self.folder, exist_ok=True)
        shutil.copy(exe, os.path.join(self.folder, "Tarnel_Configuration.exe"))
        # The marker that turns the program's own trace on, beside the CMDLine one.
        open(os.path.join(self.folder, "trace.txt"), "w").close()
        self.runs = 0

    def run(self, arguments):
        """Runs the tool with `arguments` as its exact argument text. Returns the full 32-bit
        exit code (as cmd.exe's errorlevel sees it), the CMDLine trace and the program's trace
        written by this run."""
        log = os.path.join(self.folder, "Log")
        shutil.rmtree(log, ignore_errors=True)
        self.runs += 1
        script = os.path.join(self.folder, "run%d.cmd" % self.runs)
        with open(script, "w", newline="") as f:
            f.write("@C:\\%s\\Tarnel_Configuration.exe %s\r\n" % (PROGRAM_DIR, arguments))
            f.write("@echo exit=%errorlevel%\r\n")
        proc = self.prefix.run(["cmd", "/c", "C:\\%s\\run%d.cmd" % (PROGRAM_DIR, self.runs)],
                               timeout=90)
        code = None
        for line in proc.stdout.split("\n"):
            if line.startswith("exit="):
                code = int(line[5:])
        cmdline, program = "", ""
        if os.path.isdir(log):
            for name in sorted(os.listdir(log)):
                text = utf16_file(os.path.join(log, name))
                if name.startswith("CMDLine_"):
                    cmdline += text
                elif name.startswith("Tarnel_Configuration_"):
                    program += text
        with open(os.path.join(self.out, "runs.txt"), "a") as f:
            f.write("=== %s\nexit=%s\n--- CMDLine\n%s--- Tarnel_Configuration\n%s\n" %
                    (arguments, code, cmdline, program))
        return code, cmdline.replace("\r", ""), program.replace("\r", "")


def error_lines(trace):
    return [line.split("<ERROR> ", 1)[1] for line in trace.split("\n") if "<ERROR> " in line]


def add_port_instance(prefix, number, port_name):
    """A port instance as an installed Ports-class device keeps it (what the tool reads)."""
    key = "%s\\%04d" % (INSTANCES, number)
    for args in (("/v", "HardwareID", "/t", "REG_MULTI_SZ", "/d", "morvik\\tarnel"),
                 ("/v", "Service", "/t", "REG_SZ", "/d", "TARNEL"),
                 ("/v", "Class", "/t", "REG_SZ", "/d", "Ports"),
                 ("/v", "FriendlyName", "/t", "REG_SZ", "/d",
                  "Tarnel Virtual Serial Port (%s)" % port_name)):
        prefix.reg("add", key, *args, "/f")
    prefix.reg("add", key + "\\Device Parameters", "/v", "PortName", "/t", "REG_SZ", "/d",
               port_name, "/f")


def add_assignment(prefix, port_name, address_value, port):
    key = STORE + "\\" + port_name
    prefix.reg("add", key, "/v", "IPAddress", "/t", "REG_DWORD", "/d", str(address_value), "/f")
    prefix.reg("add", key, "/v", "Port_", "/t", "REG_DWORD", "/d", str(port), "/f")
    prefix.reg("add", key, "/v", "PortName", "/t", "REG_SZ", "/d", port_name, "/f")


def store_subkeys(prefix):
    tree = prefix.reg_tree(STORE) or {}
    return sorted(k for k in tree if k)


def dword(value):
    return ("REG_DWORD", "0x%x" % value)


def inet_addr(text):
    """The DWORD inet_addr gives on a little-endian machine: octets in address order."""
    a = [int(x) for x in text.split(".")]
    return a[0] | a[1] << 8 | a[2] << 16 | a[3] << 24


def htons(port):
    return ((port & 0xFF) << 8) | (port >> 8)


# --------------------------------------------------------------------------------------------

INVALID = [
    # argument text, exit code, the CMDLine error line
    ("/i0", 1639, "Out of range port number : 0"),
    ("/i256", 1639, "Out of range port number : 256"),
    ("/iabc", 1639, "Out of range port number : 0"),
    ("/m3", 1639, "Invalid message option : 3"),
    ("/i/m", 1639, "Invalid message option : -1"),
    ("/I5", 1639, "Invalid command line : /I5"),
    ("setup /i", 1639, "Invalid command line : /setup "),
    ("/n 10.0.0", 1639, "Invalid address : 10.0.0"),
    ("/n 10.0.0.5:65536", 1639, "Invalid address : 10.0.0.5:65536"),
    ("/pid12AG", 1639, "Invalid PID : /12AG"),
    ("/sn", 1639, "USB Serial Number is cannot skip : /sn"),
    # Wine's SetupAPI lists no USB printer: the conditions are well formed but unmet.
    ("/pid", 1, "no available printer."),
    ("/pid12ab", 1, "no available printer."),
    ("/sn 4711", 1, "no available printer."),
    # Rejected before any step: neither the uninstall nor the install may run.
    ("/u /i5 /n 10.0.0.5:0", 1639, "Invalid address : 10.0.0.5:0"),
]


def scenario_invalid(prefix, tool):
    add_port_instance(prefix, 0, "COM7")
    add_assignment(prefix, "COM7", inet_addr("10.0.0.9"), 9100)
    for arguments, want_code, want_error in INVALID:
        code, cmdline, program = tool.run(arguments)
        errors = error_lines(cmdline)
        check(code == want_code and errors == [want_error],
              "%-24r exit %s, CMDLine error %r" % (arguments, code, errors[0] if errors else None),
              "expected exit %d and only %r" % (want_code, want_error))
        if arguments.startswith("/u"):
            check("ExitInstance : %d" % want_code in program and "UninstallAll" not in program
                  and "CVPInstall::Install" not in program,
                  "%r: no uninstall or install step traced" % arguments, program)
    tree = prefix.reg_tree(INSTANCES) or {}
    check(tree.get("0000\\Device Parameters", {}).get("PortName") == ("REG_SZ", "COM7"),
          "the port instance is still installed after every rejected line", str(tree))
    check(store_subkeys(prefix) == ["COM7"] and
          (prefix.reg_tree(STORE + "\\COM7") or {}).get("", {}).get("IPAddress") ==
          dword(inet_addr("10.0.0.9")),
          "the assignment of COM7 is untouched", str(prefix.reg_tree(STORE)))


def expect_assignment(prefix, port_name, address, port, label):
    tree = prefix.reg_tree(STORE + "\\" + port_name)
    values = (tree or {}).get("", {})
    want = {
        "DisplayName": ("REG_SZ", FRIENDLY),
        "IPAddress": dword(inet_addr(address)),
        "Port_": dword(port),
        "Port": dword(htons(port)),
        "PortName": ("REG_SZ", port_name),
    }
    check(values == want, "%s: %s\\%s holds %s:%d as the driver reads it" %
          (label, STORE, port_name, address, port),
          "read %s\nwanted %s" % (values, want))


def scenario_store(prefix, tool):
    add_port_instance(prefix, 0, "COM7")
    # An assignment of a port that is no longer installed: start-up drops it.
    add_assignment(prefix, "COM9", inet_addr("10.0.0.9"), 9100)

    code, cmdline, _ = tool.run("/n 127.0.0.1:9101")
    check(code == 0 and not error_lines(cmdline), "/n 127.0.0.1:9101: exit %s" % code, cmdline)
    expect_assignment(prefix, "COM7", "127.0.0.1", 9101, "first assignment")
    check(store_subkeys(prefix) == ["COM7"], "the stale COM9 assignment removed, only COM7 left",
          str(store_subkeys(prefix)))

    # The port moves to another printer; the default TCP port is 9100.
    code, cmdline, _ = tool.run("/n 10.20.30.40")
    check(code == 0 and not error_lines(cmdline), "/n 10.20.30.40: exit %s" % code, cmdline)
    expect_assignment(prefix, "COM7", "10.20.30.40", 9100, "reassignment")
    check(store_subkeys(prefix) == ["COM7"], "still one assignment", str(store_subkeys(prefix)))

    # "/rs": done, and the restart is requested (of Wine, which ends the prefix's session only):
    # the installer learns from exit code 3010 that Windows must restart.
    code, cmdline, program = tool.run("/n 127.0.0.3 /rs")
    check(code == 3010 and not error_lines(cmdline), "/n 127.0.0.3 /rs: exit %s" % code, cmdline)
    check("ExitInstance(" in program and program.rstrip().endswith(" Reboot"),
          "the program's trace ends with the restart request", program)
    # Wine ends the prefix's processes after the program: let it finish, as a restart would.
    prefix.restart()
    expect_assignment(prefix, "COM7", "127.0.0.3", 9100, "assignment before the restart")

    # A second port: "/n" alone no longer knows which one is meant, and changes nothing.
    add_port_instance(prefix, 1, "COM8")
    code, cmdline, _ = tool.run("/n 127.0.0.1")
    check(code == 1 and error_lines(cmdline) == ["Out of range installed port list : 2"],
          "/n with two ports: exit %s, %s" % (code, error_lines(cmdline)), cmdline)
    expect_assignment(prefix, "COM7", "127.0.0.3", 9100, "after the refused run")

    # The ports gone (uninstalled behind the tool's back): start-up drops the assignment and
    # "/n" has no port to assign.
    prefix.reg("delete", INSTANCES, "/f")
    code, cmdline, _ = tool.run("/n 127.0.0.1")
    check(code == 1 and error_lines(cmdline) == ["Out of range installed port list : 0"],
          "/n without ports: exit %s, %s" % (code, error_lines(cmdline)), cmdline)
    check(prefix.reg_tree(STORE) is not None and store_subkeys(prefix) == [],
          "the product key stays, without assignments", str(prefix.reg_tree(STORE)))


def scenario_install(prefix, tool, package, driver):
    # The release folder's layout: the INFs and the driver beside the program.
    shutil.copy(os.path.join(package, "Tarnel.INF"), tool.folder)
    shutil.copy(driver, os.path.join(tool.folder, "Tarnel.sys"))
    os.makedirs(os.path.join(tool.folder, "secure"), exist_ok=True)
    shutil.copy(os.path.join(package, "secure", "OstraTarnel.INF"),
                os.path.join(tool.folder, "secure"))
    shutil.copy(driver, os.path.join(tool.folder, "secure", "Tarnel.sys"))

    code, cmdline, program = tool.run("/i /n 127.0.0.1:9100")
    # Wine's SetupAPI registers the instance and installs the driver on it, but Wine has no
    # Ports class installer: nobody gives the instance a COM name, so no new port appears.
    check(code == 1, "/i /n 127.0.0.1:9100: exit %s (a failed step)" % code)
    check(error_lines(cmdline) == ["No new virtual port."],
          "CMDLine: the install ended for want of a new port", cmdline)
    check("Install Success, no reboot required." in program,
          "the program's trace: Wine's SetupAPI reports the driver installed", program)
    tree = prefix.reg_tree(INSTANCES) or {}
    ours = [k for k, v in tree.items()
            if "\\" not in k and v.get("HardwareID") == ("REG_MULTI_SZ", "morvik\\tarnel")]
    check(len(ours) == 1 and tree[ours[0]].get("Service") == ("REG_SZ", "TARNEL"),
          "one root-enumerated instance with our hardware id and service", str(tree))
    check(ours and "PortName" not in tree.get(ours[0] + "\\Device Parameters", {}),
          "the instance has no PortName (no Ports class installer under wine)", str(tree))
    check(store_subkeys(prefix) == [], "nothing assigned", str(prefix.reg_tree(STORE)))
    service = (prefix.reg_tree(SERVICE) or {}).get("", {})
    check(service.get("Type") == dword(1),
          "the TARNEL kernel service was created from the INF", str(service))

    code, cmdline, program = tool.run("/u")
    check(code == 1 and error_lines(cmdline) == ["Out of range installed port list : 0"],
          "/u: exit %s, %s" % (code, error_lines(cmdline)), cmdline)
    tree = prefix.reg_tree(INSTANCES) or {}
    check(not any(v.get("HardwareID") == ("REG_MULTI_SZ", "morvik\\tarnel") for v in tree.values()),
          "/u removed the instance", str(tree))
    check(prefix.reg_tree(SERVICE) is None, "/u deleted the TARNEL service",
          str(prefix.reg_tree(SERVICE)))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("scenario", choices=["invalid", "store", "install"])
    ap.add_argument("--exe", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--package")
    ap.add_argument("--driver")
    args = ap.parse_args()

    wine, _ = wineprefix.find_wine64()
    if not wine:
        wineprefix.skip("wine64 is not installed (scripts/bootstrap.sh installs wine64)")
    if not os.path.isfile(args.exe):
        print("FAIL: %s is not built" % args.exe)
        return 1
    if args.scenario == "install" and not (args.driver and os.path.isfile(args.driver)):
        print("FAIL: the driver image %s is not built (build the win preset whole)" % args.driver)
        return 1

    out = os.path.abspath(args.out)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    with wineprefix.WinePrefix(os.path.join(out, "wine")) as prefix:
        tool = Tool(prefix, args.exe, out)
        if args.scenario == "invalid":
            scenario_invalid(prefix, tool)
        elif args.scenario == "store":
            scenario_store(prefix, tool)
        else:
            scenario_install(prefix, tool, args.package, args.driver)
    print("runs and traces kept in %s" % os.path.join(out, "runs.txt"))
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
