#!/bin/sh
# What a debugger makes of the shipped binaries, checked in their folder:
#   - every NAME.dll / NAME.exe names NAME.pdb in its debug directory, by file name only, and that
#     PDB has the GUID and age the binary records (so Visual Studio and WinDbg accept it);
#   - no binary carries DWARF besides (the PDB alone describes it);
#   - each export of zksndapi.dll resolves through the PDB to the function of that name in
#     virt/api/ZkSndApi.cpp, with a line number.
# Usage: check_symbols.sh LLVM_READOBJ LLVM_PDBUTIL LLVM_SYMBOLIZER OBJDUMP BIN_DIR
set -eu
readobj="$1"; pdbutil="$2"; symbolizer="$3"; objdump="$4"; bin="$5"
fail() { echo "FAIL: $*"; exit 1; }
cd "$bin"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The GUID as the PDB prints it, {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, from the debug directory's
# 16 bytes (the first three fields little-endian).
guid_of_binary() {
  "$readobj" --coff-debug-directory "$1" | sed -n 's/.*PDBGUID: (\(.*\))/\1/p' |
    awk '{ printf "{%s%s%s%s-%s%s-%s%s-%s%s-%s%s%s%s%s%s}\n",
           $4,$3,$2,$1, $6,$5, $8,$7, $9,$10, $11,$12,$13,$14,$15,$16 }'
}

checked=0
for file in zksndapi.dll *.exe; do
  [ -f "$file" ] || continue
  pdb="${file%.*}.pdb"
  [ -f "$pdb" ] || fail "$file: no $pdb beside it"
  "$readobj" --coff-debug-directory "$file" >"$tmp/dir" || fail "$file: unreadable debug directory"
  named=$(sed -n 's/.*PDBFileName: //p' "$tmp/dir")
  [ "$named" = "$pdb" ] || fail "$file names '$named' as its PDB, not $pdb"
  want_guid=$(guid_of_binary "$file")
  want_age=$(sed -n 's/.*PDBAge: //p' "$tmp/dir")
  "$pdbutil" dump -summary "$pdb" >"$tmp/summary" || fail "$pdb is not a PDB"
  got_guid=$(sed -n 's/.*GUID: //p' "$tmp/summary"); got_age=$(sed -n 's/.*Age: //p' "$tmp/summary")
  [ -n "$want_guid" ] && [ "$want_guid" = "$got_guid" ] ||
    fail "$pdb has GUID $got_guid, $file expects ${want_guid:-none}: the PDB is from another build"
  [ "$want_age" = "$got_age" ] || fail "$pdb has age $got_age, $file expects $want_age"
  ! "$objdump" -h "$file" | grep -q '\.debug_' || fail "$file still carries DWARF sections"
  echo "ok: $file matches $pdb (GUID $got_guid, age $got_age)"
  checked=$((checked + 1))
done
[ "$checked" -ge 3 ] || fail "expected zksndapi.dll and both tools in $bin, checked $checked"

# Each export: "Name: X" then "RVA: 0x..." in llvm-readobj's listing.
"$readobj" --coff-exports zksndapi.dll | awk '/Name:/{name=$2} /RVA:/{if (name != "") print name, $2; name=""}' >"$tmp/exports"
count=0
while read -r name rva; do
  out=$("$symbolizer" --obj=zksndapi.dll --relative-address "$rva")
  function=$(echo "$out" | sed -n 1p); location=$(echo "$out" | sed -n 2p)
  [ "$function" = "$name" ] || { fail "export $name (RVA $rva) resolves to '$function'"; }
  case "$location" in
    */virt/api/ZkSndApi.cpp:[1-9]*) ;;
    *) fail "export $name (RVA $rva) resolves to '$location', not a line of virt/api/ZkSndApi.cpp" ;;
  esac
  echo "ok: $name at $rva is ${location#"${location%virt/api/*}"}"
  count=$((count + 1))
done <"$tmp/exports"
[ "$count" -eq 8 ] || fail "resolved $count exports, expected 8"
exit 0
