#!/usr/bin/env bash
# The main job: builds the host machine and shows it at work on a fresh machine folder: the
# Tarnel driver installed, a virtual port COM7 started with its DOS names and serial map entry,
# and a port assignment in the registry store as the configuration tool writes it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
cmake --preset host >/dev/null
cmake --build --preset host -j "$(nproc)" --target tarnel-host Tarnel >/dev/null

host=build/host/tools/tarnel-host/tarnel-host
export TARNEL_MACHINE="${TARNEL_MACHINE:-$PWD/build/demo-machine}"
rm -rf "$TARNEL_MACHINE"

step() { printf '\n== %s\n' "$*"; }

step "A new machine: $TARNEL_MACHINE"
"$host" machine

step "Install the driver and add the virtual port COM7"
"$host" install-driver
"$host" add-port COM7

step "Boot the machine: device instances"
"$host" devices
step "DOS device names and interfaces"
"$host" dosnames
step "Serial device map"
"$host" serialmap

step "Assign COM7 to the printer 192.168.1.200:9100 (the store, 64-bit view)"
key='HKLM\SOFTWARE\Morvik\TARNEL\COM7'
"$host" reg add "$key" /v DisplayName /t REG_SZ /d "Tarnel Virtual Serial Port (COM7)" /reg:64
# Address and port in network byte order: the stored bytes C0 A8 01 C8 and 23 8C 00 00.
"$host" reg add "$key" /v IPAddress /t REG_DWORD /d 0xc801a8c0 /reg:64
"$host" reg add "$key" /v Port_ /t REG_DWORD /d 9100 /reg:64
"$host" reg add "$key" /v Port /t REG_DWORD /d 0x8c23 /reg:64
"$host" reg add "$key" /v PortName /t REG_SZ /d COM7 /reg:64
"$host" reg query "$key" /reg:64

step "The hive file as it lies on disk"
cat "$TARNEL_MACHINE/registry.hive"
