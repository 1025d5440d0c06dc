#!/bin/sh
# Fails when the DLL imports anything but Windows system DLLs, or exports
# anything but the eight API names.
objdump="$1"; dll="$2"
imports=$("$objdump" -p "$dll" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
[ -n "$imports" ] || { echo "no import table found in $dll"; exit 1; }
echo "imports:"; echo "$imports" | sed 's/^/  /'
bad=$(echo "$imports" | grep -Ev '^(kernel32|user32|advapi32|shell32|shlwapi|ntdll|msvcrt|ole32|api-ms-win-[a-z0-9-]+|ucrtbase|ws2_32|rpcrt4|bcrypt|sechost)\.dll$')
if [ -n "$bad" ]; then echo "non-system imports: $bad"; exit 1; fi
exports=$("$objdump" -p "$dll" | awk '/\[Ordinal\/Name Pointer\] Table/{f=1;next} f&&/^[[:space:]]*\[/{print $NF} f&&/^$/{f=0}' | sort)
expected=$(printf '%s\n' ZkConfigIsLocked ZkSndDeInit ZkSndGetSettings ZkSndSetDefault ZkSndSetSettings ZkSndVApiInit ZkSndVCleanUp ZkSndVGetDeviceList | sort)
echo "exports:"; echo "$exports" | sed 's/^/  /'
if [ "$exports" != "$expected" ]; then echo "export table differs from the eight API names"; exit 1; fi
exit 0
