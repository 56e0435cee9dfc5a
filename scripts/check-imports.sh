#!/usr/bin/env bash
# check-imports.sh EXE: the shipped program must be a GUI-subsystem executable that imports
# Windows system DLLs only (no libstdc++, libgcc or winpthread beside it to plant).
set -euo pipefail
exe=$1
dump=$(i686-w64-mingw32-objdump -p "$exe")
grep -q "Subsystem.*(Windows GUI)" <<<"$dump" || { echo "not a GUI-subsystem program: $exe"; exit 1; }
allowed='^(kernel32|advapi32|user32|shell32|shlwapi|ole32|oleaut32|crypt32|wintrust|winmm|wtsapi32|userenv|psapi|msvcrt|ntdll|winhttp|version|wevtapi|bcrypt|taskschd|rpcrt4|secur32|ws2_32)\.dll$'
bad=0
while read -r dll; do
    if ! echo "$dll" | tr 'A-Z' 'a-z' | grep -Eq "$allowed"; then
        echo "unexpected import: $dll"
        bad=1
    fi
done < <(echo "$dump" | sed -n 's/.*DLL Name: //p')
[ $bad -eq 0 ] && echo "imports of $(basename "$exe"): $(echo "$dump" | sed -n 's/.*DLL Name: //p' | tr '\n' ' ')"
exit $bad
