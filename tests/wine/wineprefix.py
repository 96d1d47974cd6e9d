"""A private wine64 prefix for one test: created with wineboot under the test's own folder, a
persistent wineserver while the test runs, Wine's own reg.exe to read the registry back, and
everything shut down and removed at the end.

Where the process may make network namespaces (root), every wine process starts inside a fresh
one that holds only an unconfigured loopback, so that nothing run under wine can reach the
machine's interfaces even by mistake."""

import os
import re
import shutil
import subprocess
import sys
import tempfile

SKIP = 77


def skip(reason):
    print("SKIP: " + reason)
    sys.exit(SKIP)


def find_wine64():
    """wine64 and its wineserver, or (None, None)."""
    wine = shutil.which("wine64")
    for candidate in ("/usr/lib/wine/wine64", "/usr/lib64/wine/wine64",
                      "/opt/wine-stable/bin/wine64"):
        if wine:
            break
        if os.access(candidate, os.X_OK):
            wine = candidate
    if not wine:
        return None, None
    server = None
    here = os.path.dirname(wine)
    for candidate in (os.path.join(here, "wineserver64"), os.path.join(here, "wineserver"),
                      shutil.which("wineserver")):
        if candidate and os.access(candidate, os.X_OK):
            server = candidate
            break
    return wine, server


def isolated_prefix_command():
    """The command that puts a process into a network namespace of its own, or [] where none can
    be made."""
    unshare = shutil.which("unshare")
    if not unshare:
        return []
    probe = subprocess.run([unshare, "-n", "true"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    return [unshare, "-n"] if probe.returncode == 0 else []


class WinePrefix:
    def __init__(self, folder, display=None):
        self.wine, self.server = find_wine64()
        if not self.wine:
            skip("wine64 is not installed (scripts/bootstrap.sh installs wine64)")
        if not self.server:
            skip("wine64 is installed but its wineserver is not found")
        self.folder = folder
        self.path = os.path.join(folder, "prefix")
        self.isolate = isolated_prefix_command()
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.update(WINEPREFIX=self.path, WINEDEBUG="-all", WINEARCH="win64",
                   WINEDLLOVERRIDES="mscoree,mshtml=")
        if display:
            env["DISPLAY"] = display
        self.env = env
        self.display = display

    def __enter__(self):
        self.stop()
        shutil.rmtree(self.path, ignore_errors=True)
        os.makedirs(self.folder, exist_ok=True)
        print("network namespace per wine process: %s" % ("yes" if self.isolate else
                                                           "not available here"))
        boot = self.run(["wineboot", "-i"], timeout=240)
        if boot.returncode != 0:
            raise RuntimeError("wineboot could not create the prefix (exit %d): %s" %
                               (boot.returncode, boot.stderr))
        if not self.display:
            # Without X, windows go to Wine's null display driver: programs that open dialogs
            # run as they would on a desktop nobody looks at.
            self.reg("add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/t", "REG_SZ",
                     "/d", "null", "/f")
        self.restart()
        return self

    def restart(self):
        """Ends every process of the prefix and starts its server again: a restart of the
        prefix's Windows."""
        self.stop()
        # One server for the whole test: without -p it ends a few seconds after each program
        # and the next one pays for a new boot of the prefix's services. A minute idle ends it
        # even when the test is killed before it can stop the server.
        subprocess.run(self.isolate + [self.server, "-p60"], env=self.env, timeout=60,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def __exit__(self, *exc):
        self.stop()
        shutil.rmtree(self.path, ignore_errors=True)
        return False

    def stop(self):
        env = dict(self.env)
        subprocess.run([self.server, "-k"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        subprocess.run([self.server, "-w"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)

    def drive_c(self, *parts):
        return os.path.join(self.path, "drive_c", *parts)

    def run(self, args, timeout=120):
        """Runs `wine64 args...`; standard output as text without carriage returns."""
        # Files, not pipes: services the run starts outlive it and keep their standard handles.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.run(self.isolate + [self.wine] + list(args), env=self.env,
                                  stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                                  timeout=timeout)
            out.seek(0)
            err.seek(0)
            proc.stdout = out.read().decode("utf-8", "replace").replace("\r", "")
            proc.stderr = err.read().decode("utf-8", "replace").replace("\r", "")
        return proc

    def reg(self, *args):
        proc = self.run(["reg"] + list(args), timeout=60)
        return proc.returncode, proc.stdout

    def reg_tree(self, key):
        """`reg query key /s` read into {subkey path (below key, "" for key): {name: (type,
        value)}}; None when the key does not exist."""
        code, text = self.reg("query", key, "/s")
        if code != 0:
            return None
        for short, full in (("HKLM\\", "HKEY_LOCAL_MACHINE\\"), ("HKCU\\", "HKEY_CURRENT_USER\\")):
            if key.upper().startswith(short):
                key = full + key[len(short):]
        tree = {}
        current = None
        for line in text.split("\n"):
            if not line.strip():
                continue
            if not line.startswith(" "):
                full = line.strip()
                if full.lower().startswith(key.lower()):
                    current = full[len(key):].lstrip("\\")
                else:
                    current = full
                tree.setdefault(current, {})
                continue
            m = re.match(r"^\s+(.*?)\s{4}(REG_\w+)\s{4}(.*)$", line) or \
                re.match(r"^\s+(.*?)\s{4}(REG_\w+)()$", line)
            if m and current is not None:
                tree[current][m.group(1)] = (m.group(2), m.group(3))
        return tree
