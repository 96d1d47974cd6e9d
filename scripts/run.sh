#!/usr/bin/env bash
# The main job: a demonstration on a fresh host machine. It builds what is needed, starts the
# printer simulator on loopback, installs the Tarnel driver with a virtual port COM5, assigns COM5
# to the simulator in the store, prints a receipt through COM5 with the real driver path, asks the
# printer for its model, and shows what the printer received.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
cmake --preset host >/dev/null
cmake --build --preset host -j "$(nproc)" --target tarnel-host Tarnel tarnel-printer-sim >/dev/null

host=build/host/tools/tarnel-host/tarnel-host
sim=build/host/tools/printer-sim/tarnel-printer-sim
work=build/demo
export TARNEL_MACHINE="$PWD/$work/machine"
rm -rf "$work"
mkdir -p "$work/printer"

step() { printf '\n== %s\n' "$*"; }

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
