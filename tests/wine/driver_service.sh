#!/usr/bin/env bash
# Loads the real x64 Tarnel.sys in Wine's kernel emulation (winedevice) as a kernel service: the
# image loads with its imports resolved, DriverEntry returns STATUS_SUCCESS, the service stops and
# the image unloads; then a root-enumerated port device reaches AddDevice and IRP_MN_START_DEVICE,
# is removed, and the driver unloads with its pool given back. Everything is read back from Wine's
# own traces (kept in the artefact folder), from sc.exe and from reg.exe.
#
# usage: driver_service.sh <Tarnel.sys> <objdump> <artefact folder>
# Exit 77 (skip) when wine64 is not installed.
set -uo pipefail

image=$1
objdump=$2
artefacts=$3

wine=$(command -v wine64 || true)
for candidate in /usr/lib/wine/wine64 /usr/lib64/wine/wine64 /opt/wine-stable/bin/wine64; do
    [ -n "$wine" ] && break
    [ -x "$candidate" ] && wine=$candidate
done
if [ -z "$wine" ]; then
    echo "SKIP: wine64 is not installed (scripts/bootstrap.sh installs wine64)"
    exit 77
fi
wineserver=$(command -v wineserver || true)
[ -x "$(dirname "$wine")/wineserver64" ] && wineserver=$(dirname "$wine")/wineserver64
[ -x "$(dirname "$wine")/wineserver" ] && wineserver=$(dirname "$wine")/wineserver
if [ -z "$wineserver" ]; then
    echo "SKIP: wine64 is installed but its wineserver is not found"
    exit 77
fi
[ -f "$image" ] || { echo "FAIL: $image does not exist"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnel-wine.XXXXXX")
export WINEPREFIX=$work/prefix
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
    "$wineserver" -k >/dev/null 2>&1
    "$wineserver" -w >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
rm -rf "$artefacts"
mkdir -p "$artefacts"

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
pass() { echo "ok: $*"; }
# Wine's own programs print UTF-16 turned into the console code page with CRLF line ends.
run() { "$wine" "$@" 2>/dev/null | tr -d '\r'; }
# The traced channels: relay for the driver's entry, dispatch and unload calls (RelayInclude names
# no module, so no export is thunked), the kernel, the loader, services and Plug and Play, and
# debugstr, the channel that carries DbgPrint.
channels=fixme-all,+relay,+ntoskrnl,+loaddll,+service,+winedevice,+plugplay,+debugstr
restart_server() {
    "$wineserver" -k >/dev/null 2>&1
    "$wineserver" -w >/dev/null 2>&1
}
# Boots the prefix with tracing into a log: a persistent server (without -p the server shuts
# services down a few seconds after the last program ends), then one program whose boot starts
# services.exe and its winedevice processes, which inherit its standard error.
boot_traced() {  # log channels program...
    local log=$1 debug=$2
    shift 2
    : >"$log"
    WINEDEBUG=$debug "$wineserver" -p 2>>"$log"
    WINEDEBUG=$debug "$wine" "$@" 2>>"$log"
}
state_of() { run sc query TARNEL | sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'; }
wait_state() {
    local want=$1
    for _ in $(seq 1 150); do
        [ "$(state_of)" = "$want" ] && return 0
        sleep 0.2
    done
    return 1
}

# ---- the image's own numbers ----
headers=$("$objdump" -p "$image")
entry_rva=$(awk '/^AddressOfEntryPoint/ {print $2}' <<<"$headers")
image_size=$(awk '/^SizeOfImage/ {print $2}' <<<"$headers")
if [ -z "$entry_rva" ] || [ -z "$image_size" ]; then
    echo "FAIL: $objdump gives no entry point or image size for $image"
    exit 1
fi

# ---- a fresh prefix with the driver file and its service ----
if ! timeout 180 "$wine" wineboot -i >"$artefacts/wineboot.log" 2>&1; then
    echo "FAIL: wineboot could not create the prefix"
    cat "$artefacts/wineboot.log"
    exit 1
fi
drivers=$WINEPREFIX/drive_c/windows/system32/drivers
cp "$image" "$drivers/Tarnel.sys"
run reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ /d none.dll /f >/dev/null
"$wine" sc create TARNEL type= kernel start= demand \
    binPath= 'C:\windows\system32\drivers\Tarnel.sys' >"$artefacts/sc-create.txt" 2>&1 ||
    fail "sc create TARNEL"
run reg query 'HKLM\System\CurrentControlSet\Services\TARNEL' >"$artefacts/service-key.txt"
if grep -q -E 'Type +REG_DWORD +0x1$' "$artefacts/service-key.txt" &&
    grep -q -E 'Start +REG_DWORD +0x3$' "$artefacts/service-key.txt" &&
    grep -q -F 'C:\windows\system32\drivers\Tarnel.sys' "$artefacts/service-key.txt"; then
    pass "service TARNEL created: kernel driver, demand start, image Tarnel.sys"
else
    fail "service key of TARNEL is not a demand-start kernel driver"
    cat "$artefacts/service-key.txt"
fi
restart_server

hex() { printf '%d' "0x$1"; }
in_image() {  # address base
    local a b
    a=$(hex "$1")
    b=$(hex "$2")
    [ "$a" -ge "$b" ] && [ "$a" -lt $((b + $(hex "$image_size"))) ]
}

# ---- 1: the driver as a kernel service ----
log=$artefacts/service.log
boot_traced "$log" "$channels" sc start TARNEL >"$artefacts/sc-start.txt"
tr -d '\r' <"$artefacts/sc-start.txt" >"$artefacts/sc-start.tmp" && mv "$artefacts/sc-start.tmp" "$artefacts/sc-start.txt"
if grep -q 'STATE *: *4 *RUNNING' "$artefacts/sc-start.txt"; then
    pass "sc start TARNEL: RUNNING"
else
    fail "sc start TARNEL did not report RUNNING"
    cat "$artefacts/sc-start.txt"
fi

loaded=$(grep -m1 -o 'Loaded L"C:\\\\windows\\\\system32\\\\drivers\\\\Tarnel.sys" at [0-9A-Fa-f]*: native' "$log")
base=$(sed -n 's/.* at \([0-9A-Fa-f]*\): native/\1/p' <<<"$loaded")
if [ -n "$base" ]; then
    pass "Tarnel.sys loaded as a native image at $base (every import resolved)"
else
    fail "Tarnel.sys was not loaded as a native image"
    base=0
fi
if grep -E 'err:(module|ntoskrnl)' "$log" | grep -i -q -E 'tarnel|import'; then
    fail "loader errors:"
    grep -E 'err:(module|ntoskrnl)' "$log"
fi

init_call=$(grep -m1 -E 'Call driver init [0-9A-F]+ .*Services\\\\TARNEL' "$log")
init_ret=$(grep -m1 -E 'Ret  driver init [0-9A-F]+ .*Services\\\\TARNEL.*retval=' "$log")
init_addr=$(sed -n 's/.*Call driver init \([0-9A-F]*\) .*/\1/p' <<<"$init_call")
if [ -n "$init_addr" ] && [ "$(hex "$init_addr")" = $(($(hex "$base") + $(hex "$entry_rva"))) ]; then
    pass "winedevice called DriverEntry at image base + entry point $entry_rva"
else
    fail "no call of DriverEntry at base $base + $entry_rva (saw '${init_call}')"
fi
if [[ "$init_ret" == *"retval=00000000" ]]; then
    pass "DriverEntry returned STATUS_SUCCESS"
else
    fail "DriverEntry did not return STATUS_SUCCESS (saw '${init_ret}')"
fi

# DriverEntry installed its unload routine and its dispatch routines inside the image.
unload_addr=none
for slot in "DriverUnload" "MajorFunction\[0\]" "MajorFunction\[2\]" "MajorFunction\[3\]" \
    "MajorFunction\[4\]" "MajorFunction\[14\]" "MajorFunction\[18\]" "MajorFunction\[22\]" \
    "MajorFunction\[27\]"; do
    addr=$(grep -A40 'init done for L"TARNEL"' "$log" | sed -n "s/.*- ${slot} = \([0-9A-F]*\)/\1/p" | head -1)
    if [ -n "$addr" ] && in_image "$addr" "$base"; then
        pass "${slot//\\/} = $addr, inside Tarnel.sys"
        [ "$slot" = DriverUnload ] && unload_addr=$addr
    else
        fail "${slot//\\/} is not a routine of Tarnel.sys (${addr:-missing})"
    fi
done

run sc stop TARNEL >"$artefacts/sc-stop.txt"
if wait_state STOPPED; then pass "sc stop TARNEL: STOPPED"; else fail "service did not stop"; fi
run sc query TARNEL >"$artefacts/sc-query-stopped.txt"
if grep -q 'WIN32_EXIT_CODE *: *0 ' "$artefacts/sc-query-stopped.txt"; then
    pass "stopped with exit code 0"
else
    fail "stopped with an error"
    cat "$artefacts/sc-query-stopped.txt"
fi
if grep -q -E "Call driver unload $unload_addr " "$log" && grep -q -E "Ret  driver unload $unload_addr " "$log"; then
    pass "the driver's unload routine called and returned"
else
    fail "DriverUnload was not called"
fi
if grep -q 'Unloaded module L"C:\\\\windows\\\\system32\\\\drivers\\\\Tarnel.sys" : native' "$log"; then
    pass "Tarnel.sys unmapped"
else
    fail "Tarnel.sys was not unmapped"
fi
if grep -A16 'unload_driver L"\\\\Driver\\\\TARNEL"' "$log" | grep -q 'ObDereferenceObject .* ref=0'; then
    pass "driver object released (reference count 0)"
else
    fail "driver object not released"
fi

# ---- 2: a root-enumerated port device ----
# The instance a Ports class install makes: hardware id, function driver, class and the COM name
# in its device parameters. At boot Wine's Plug and Play service starts the instance's function
# driver and hands it the device.
key='HKLM\System\CurrentControlSet\Enum\Root\PORTS\0000'
run reg add "$key" /v HardwareID /t REG_MULTI_SZ /d 'morvik\tarnel' /f >/dev/null
run reg add "$key" /v Service /t REG_SZ /d TARNEL /f >/dev/null
run reg add "$key" /v ClassGUID /t REG_SZ /d '{4D36E978-E325-11CE-BFC1-08002BE10318}' /f >/dev/null
run reg add "$key" /v Class /t REG_SZ /d Ports /f >/dev/null
run reg add "$key\\Device Parameters" /v PortName /t REG_SZ /d COM7 /f >/dev/null
restart_server

log=$artefacts/device.log
# +server as well: the replies to the driver's registry reads show where the start ends.
boot_traced "$log" "$channels,+server" sc query TARNEL >/dev/null
wait_state RUNNING || fail "the instance's driver was not started at boot"
for _ in $(seq 1 150); do
    grep -q 'VSERIAL_Dispatch : IRP_MN_START_DEVICE' "$log" && break
    sleep 0.2
done
base=$(sed -n 's/.*Tarnel.sys" at \([0-9A-Fa-f]*\): native/\1/p' "$log" | head -1)
base=${base:-0}
add_addr=$(sed -n 's/.*Calling AddDevice routine \([0-9A-F]*\)\.$/\1/p' "$log" | while read -r a; do
    in_image "$a" "$base" && echo "$a"
done | head -1)
if [ -n "$add_addr" ] && grep -q "AddDevice routine $add_addr returned 0\." "$log"; then
    pass "Plug and Play called Tarnel's AddDevice for ROOT\\PORTS\\0000; it returned STATUS_SUCCESS"
else
    fail "Tarnel's AddDevice was not called or failed"
fi
# The thread that runs the driver, and the device object AddDevice attached over the PDO.
tid=$(grep -m1 "Calling AddDevice routine ${add_addr:-none}\." "$log" | cut -d: -f1)
fdo=$(grep -m1 "^${tid:-none}:trace:ntoskrnl:IoAttachDeviceToDeviceStack " "$log" |
    sed -n 's/.*IoAttachDeviceToDeviceStack \([0-9A-F]*\), .*/\1/p')
# DbgPrint reaches Wine's debugstr channel (warn class) through vDbgPrintExWithPrefix.
dbg() { grep -q -F "warn:debugstr:vDbgPrintExWithPrefix 00000000:00000001: $1" "$log"; }
for line in "VSERIAL_AddDevice Start " "VSERIAL_AddDevice End " "VSERIAL_Dispatch : IRP_MN_START_DEVICE "; do
    if dbg "$line"; then pass "DbgPrint \"${line}\" on warn:debugstr"; else fail "DbgPrint \"${line}\" missing"; fi
done
if grep -q -F 'IoRegisterDeviceInterface Returning path L"\\??\\root#ports#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}"' "$log"; then
    pass "COM port interface registered for the instance"
else
    fail "COM port interface not registered"
fi
if grep -q -F 'IoCreateSymbolicLink L"\\DosDevices\\COM7"' "$log"; then
    echo "note: the device started and published COM7"
else
    reply=$(grep -A1 -F 'get_key_value( hkey=' "$log" | grep -A1 -F 'name=L"PortName"' | tail -1)
    echo "note: the start ended before COM7 was published; Wine's reply to reading PortName:"
    echo "      ${reply:-none traced}"
    # Wine checks the access a kernel-mode handle was opened with; Windows does not, so there the
    # key opened for STANDARD_RIGHTS_READ can be queried.
    [[ "$reply" == *ACCESS_DENIED* ]] &&
        echo "      (the device key was opened for STANDARD_RIGHTS_READ, which Wine holds to)"
fi

# A Plug and Play driver stays loaded while it has devices; stopping the winedevice process that
# hosts it removes the device (surprise removal, then removal) and then unloads the driver.
run sc stop TARNEL >"$artefacts/sc-stop-device.txt"
sleep 0.5
refusal=$(grep -m1 'cannot unload driver .*TARNEL' "$log" | cut -d: -f3-)
echo "note: sc stop with the device present: ${refusal:-no refusal traced}"
group=$(grep -E 'process_send_start_message .* L"(Winedevice[0-9]+|TARNEL)"' "$log" |
    sed -n 's/.* L"\(Winedevice[0-9]*\|TARNEL\)".*/\1/p' | grep -B1 -m1 '^TARNEL$' | head -1)
if [ -n "$group" ] && [ "$group" != TARNEL ]; then
    run sc stop "$group" >"$artefacts/sc-stop-group.txt"
    for _ in $(seq 1 150); do
        grep -q "service group L\"$group\" stopped" "$log" && break
        sleep 0.2
    done
else
    fail "no winedevice process found for TARNEL"
fi
for line in "VSERIAL_Dispatch : IRP_MN_SURPRISE_REMOVAL " "VSERIAL_Dispatch : IRP_MN_REMOVE_DEVICE "; do
    if dbg "$line"; then pass "DbgPrint \"${line}\" on warn:debugstr"; else fail "DbgPrint \"${line}\" missing"; fi
done
if [ -n "$fdo" ] && grep -q ":trace:ntoskrnl:IoDeleteDevice $fdo$" "$log"; then
    pass "the device object $fdo deleted at removal"
else
    fail "the device object ${fdo:-?} was not deleted"
fi
if grep -q "Call driver unload $unload_addr " "$log" && grep -q "Ret  driver unload $unload_addr " "$log" &&
    grep -q 'Unloaded module L"C:\\\\windows\\\\system32\\\\drivers\\\\Tarnel.sys" : native' "$log"; then
    pass "after the removal the driver unloaded and its image was unmapped"
else
    fail "the driver was not unloaded after the removal"
fi
# Every pool block taken from AddDevice on, on the threads that ran the driver (Plug and Play
# start and removal, unload), was given back by the time the driver unloaded.
threads="$tid $(grep -m1 -F 'IRP_MN_REMOVE_DEVICE' "$log" | cut -d: -f1) \
    $(grep -m1 -F 'unload_driver L"\\Driver\\TARNEL"' "$log" | cut -d: -f1)"
leaks=$(awk -v threads="$threads" -v from="Calling AddDevice routine ${add_addr}." '
    BEGIN { n = split(threads, t, " "); for (i = 1; i <= n; i++) ours[t[i]] = 1 }
    index($0, from) { on = 1 }
    !on || !(substr($0, 1, 4) in ours) { next }
    /:ExAllocatePoolWithTag / { live[$NF] = $0; taken++ }
    /:ExFreePoolWithTag / { delete live[$NF] }
    /unload_driver L"\\\\Driver\\\\TARNEL"/ { exit }
    END { if (!taken) print "no allocation traced"; for (a in live) print live[a] }' "$log")
if [ -z "$leaks" ]; then
    pass "pool balanced from AddDevice to unload"
else
    fail "pool blocks never freed:"
    echo "$leaks"
fi

echo "traces kept in $artefacts"
if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
