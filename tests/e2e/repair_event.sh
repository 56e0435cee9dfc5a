#!/usr/bin/env bash
# The repair event as the event client receives it: repair-report.exe (a lab program) sends one
# event through the lab's vdec.dll with the machine's real identifiers and device facts. The first send stores the
# device id as "AnonId"; a stored id that differs is sent unchanged and never rewritten.
set -euo pipefail
: "${WARDEX_BUILD_DIR:?}"
src=${WARDEX_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
# shellcheck source=lab/wine-env.sh
. "$src/lab/wine-env.sh"
wine_report_errors

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

wine_prefix_unique "$WARDEX_BUILD_DIR/wine/e2e-repair-event" "$WARDEX_BUILD_DIR"
trap 'wine_prefix_release "$WINEPREFIX" $?' EXIT
dir="$WINEPREFIX/drive_c/Report"
mkdir -p "$dir"
cp "$WARDEX_BUILD_DIR/lab/bin/repair-report.exe" "$WARDEX_BUILD_DIR/lab/vdec/vdec.dll" "$dir/"
product='HKLM\SOFTWARE\Valdrin Agent'

# What WMI says, through Wine's own wmic of the program's width (a 32-bit process under the
# 32-bit lab sees the emulator's processor and memory): the values of PROPERTY of every CLASS
# object.
# The prefix holds no wmic.exe of its own; Wine's 32-bit one lies in the 32-bit lab's library.
wmic=wmic
[ "$(wine_arch)" = x86 ] && wmic=/usr/lib/i386-linux-gnu/wine/i386-windows/wmic.exe
wmi_values() {
    wine "$wmic" path "$1" get "$2" 2>/dev/null | iconv -f UTF-16LE -t UTF-8 |
        tr -d '\r' | sed -e '1d' -e 's/^\xef\xbb\xbf//' -e 's/ *$//' | sed '/^$/d'
}

# The device id: SHA-1 over the UTF-16LE bytes of the machine GUID, the system UUID and the
# disk's serial number (Wine's disks have no associations: the first serial number).
wine reg query 'HKLM\SOFTWARE\Microsoft\Cryptography' /v MachineGuid /reg:64 >"$dir/guid.txt" 2>&1
guid=$(awk '/MachineGuid/ { print $3 }' "$dir/guid.txt" | tr -d '\r')
[ -n "$guid" ] || fail "no machine GUID: $(cat "$dir/guid.txt")"
uuid=$(wmi_values Win32_ComputerSystemProduct UUID | head -n 1)
[ ${#uuid} = 36 ] || fail "no system UUID: '$uuid'"
serial=$(wmi_values Win32_DiskDrive SerialNumber | head -n 1)
id=$(printf '%s%s%s' "$guid" "$uuid" "$serial" | iconv -f UTF-8 -t UTF-16LE | sha1sum | cut -d' ' -f1)
# The device facts: processor name and description, the memory modules added up in GiB.
cpu="$(wmi_values Win32_Processor Name | head -n 1) | $(wmi_values Win32_Processor Description | head -n 1)"
ram=$(( $(wmi_values Win32_PhysicalMemory Capacity | paste -sd+ | sed 's/^$/0/') >> 30 ))
# A 64-bit field: the 32-bit program passes it in two words, the low one first; any other order
# would reach the event client as a value 2^32 times too large or as zero.
[ "$ram" -gt 0 ] || fail "WMI reports no memory"

send() {
    rm -f "$dir/vdec-calls.txt"
    (cd "$dir" && wine 'C:\Report\repair-report.exe' service_stopped start_service \
        >"$dir/wine.out" 2>&1) || fail "repair-report.exe exit code $?: $(tail -n 5 "$dir/wine.out")"
}
# The submitted event block, field by field, and the order of the calls that made it.
expect_event() {
    local anon=$1 T=$'\t' os_version
    # The OS version is what the program read: three numbers and the service-pack text.
    os_version=$(awk -F'\t' '$1 == "field" && $3 == "os_version" { print $4 }' "$dir/vdec-calls.txt" | tr -d '\r')
    [[ $os_version =~ ^[0-9]+\.[0-9]+\.[0-9]+\. ]] || fail "os_version: '$os_version'"
    local want="event${T}m_agent_repaired${T}1.0${T}wardex-lab
reserved${T}vd_locale${T}en-US
field${T}W${T}anon_id${T}$anon
field${T}W${T}calculated_anon_id${T}$id
field${T}W${T}cpu_model${T}$cpu
field${T}W${T}device_type${T}Wine
field${T}W${T}device_class${T}desktop
field${T}I${T}ram_size${T}$ram
field${T}A${T}machine_architecture${T}x64
field${T}A${T}os_type${T}windows
field${T}A${T}os_version${T}$os_version
field${T}W${T}trigger${T}wardex
field${T}W${T}reason${T}service_stopped
field${T}W${T}action${T}start_service
end"
    local got
    got=$(sed -n '/^event\t/,/^end$/p' "$dir/vdec-calls.txt" | tr -d '\r')
    [ "$got" = "$want" ] || fail "event: $(diff <(echo "$want") <(echo "$got") || true)"
    # The reserved key is set between the identifiers and the device description.
    got=$(awk -F'\t' '$2 ~ /^AddKeyValueEvent/ { printf "%s ", $4 }
                      $2 ~ /^OverWriteReserved/ { printf "%s ", $3 }' "$dir/vdec-calls.txt")
    [ "${got%%cpu_model *}" = "anon_id calculated_anon_id vd_locale " ] || fail "call order: $got"
}
stored() {
    wine reg query "$product" /v AnonId /reg:32 >"$dir/anon.txt" 2>&1 || return 0
    awk '/AnonId/ { print $3 }' "$dir/anon.txt" | tr -d '\r'
}

echo "-- without a stored id, the device id is sent twice and stored"
[ -z "$(stored)" ] || fail "a fresh machine has an AnonId"
send
expect_event "$id"
[ "$(stored)" = "$id" ] || fail "stored AnonId: $(cat "$dir/anon.txt")"

echo "-- a stored id that differs is sent unchanged and kept"
wine reg add "$product" /v AnonId /t REG_SZ /d stored-elsewhere /f /reg:32 >"$dir/reg.out" 2>&1
send
expect_event stored-elsewhere
[ "$(stored)" = stored-elsewhere ] || fail "AnonId rewritten: $(cat "$dir/anon.txt")"
echo "PASS"
