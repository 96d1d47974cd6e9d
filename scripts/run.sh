#!/usr/bin/env bash
# The main job: the configuration tool, headless on a fresh host machine, as a person would use
# it. Two simulated printers sit on a small network of namespaces; the tool finds them, STEP 2
# installs the driver package and gives one printer a new address and port, the printer is found
# again where it moved and assigned COM1, and a receipt printed through COM1 arrives at it
# through the driver. Pictures of the windows go to build/host/pictures/app/.
#
# Network namespaces need root; without them the loopback demonstration runs instead: the driver
# installed by tarnel-host, COM5 assigned to a simulator on 127.0.0.1, a receipt printed through it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
cmake --preset host >/dev/null

step() { printf '\n== %s\n' "$*"; }

if [ "$(id -u)" = 0 ] && command -v ip >/dev/null && unshare -n true 2>/dev/null; then
    cmake --build --preset host -j "$(nproc)" --target app_dialogs_test Tarnel >/dev/null
    step "The tool on a namespace network: two printers, search, configure, assign, print"
    rm -rf build/host/pictures/app
    # The test's own namespace is the tool's host; each printer gets a namespace of its own.
    unshare -n sh -c 'ip link set lo up && TARNEL_TEST_NETNS=1 exec build/host/tests/app/app_dialogs_test \
        --gtest_filter=MainWorkflowNamespace.* --gtest_brief=1' |
        sed -un 's/^\[workflow\] //p; /Failure/,+4p; /FAILED/p' || {
        echo "the workflow failed" >&2
        exit 1
    }
    step "Pictures of the windows"
    ls -1 build/host/pictures/app/*.png
    exit 0
fi

step "Network namespaces cannot be made here (root and iproute2 are needed): the loopback demonstration"
cmake --build --preset host -j "$(nproc)" --target tarnel-host Tarnel tarnel-printer-sim >/dev/null

host=build/host/tools/tarnel-host/tarnel-host
sim=build/host/tools/printer-sim/tarnel-printer-sim
work=build/demo
export TARNEL_MACHINE="$PWD/$work/machine"
rm -rf "$work"
mkdir -p "$work/printer"


step "The printer: a simulator on loopback"
"$sim" --address 127.0.0.1 --port 0 --model "TARNEL-SIM 80" --record "$work/printer" >"$work/printer.log" 2>&1 &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null || true' EXIT
port=""
for _ in $(seq 1 100); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/printer.log")
    [ -n "$port" ] && break
    kill -0 "$sim_pid" 2>/dev/null || { cat "$work/printer.log" >&2; echo "the printer simulator did not start" >&2; exit 1; }
    sleep 0.05
done
[ -n "$port" ] || { echo "the printer simulator did not report its port" >&2; exit 1; }
head -1 "$work/printer.log"

step "A new machine: $TARNEL_MACHINE"
"$host" machine

step "Install the driver, add the virtual port COM5, assign it to the printer"
"$host" install-driver
"$host" add-port COM5
"$host" assign COM5 127.0.0.1 "$port"
"$host" reg query 'HKLM\SOFTWARE\Morvik\TARNEL\COM5'

step "Boot the machine: devices, DOS names, serial device map"
"$host" devices
"$host" dosnames
"$host" serialmap

step "Print a receipt through COM5 and ask the printer for its model (1D 49 43)"
cat >"$work/receipt.txt" <<'RECEIPT'
        TARNEL CAFE
   12 Harbour Road, Kelvin
------------------------------
Flat white            3.40
Almond croissant      2.90
------------------------------
TOTAL                 6.30
      Thank you, come again
RECEIPT
"$host" send COM5 --file "$work/receipt.txt" --hex 1d4943 --read-ms 500

step "What the printer received"
for record in "$work"/printer/*; do
    echo "-- $record ($(wc -c <"$record") bytes)"
    cat -v "$record"
    echo
done
