#!/usr/bin/env bash
# Makes the release ZIP of the build in $1 with scripts/package.sh, checks what it holds and the
# checksum file beside it, and unpacks it into $1/package-test for test_package, which starts the
# unpacked program.
set -euo pipefail
build=$1
source_dir=$(cd "$(dirname "$0")/.." && pwd)

zip=$(bash "$source_dir/scripts/package.sh" --built "$build")
top=$(basename "$zip" .zip)
expected=$(printf '%s\n' "$top/LICENSE" "$top/README.md" "$top/gputherm-report.exe" "$top/gputherm.exe")
listing() { unzip -Z1 "$zip" | sort; }
first=$(listing)
echo "package: $zip"
echo "entries: $(echo "$first" | tr '\n' ' ')"
[ "$first" = "$expected" ] || { echo "FAIL: expected exactly: $(echo "$expected" | tr '\n' ' ')"; exit 1; }

# A damaged ZIP under the final name is replaced whole by the next package.
echo damaged >"$zip"
bash "$source_dir/scripts/package.sh" --built "$build" >/dev/null
unzip -tq "$zip" >/dev/null || { echo "FAIL: the second package is not a sound ZIP"; exit 1; }
[ "$(listing)" = "$first" ] || { echo "FAIL: the second package holds: $(listing | tr '\n' ' ')"; exit 1; }
echo "second package: same entries"
(cd "$(dirname "$zip")" && sha256sum -c --quiet "$top.zip.sha256") ||
  { echo "FAIL: $top.zip.sha256 does not match the ZIP beside it"; exit 1; }
echo "checksum file: $(cat "$zip.sha256")"

unpacked=$build/package-test
rm -rf "$unpacked" && mkdir -p "$unpacked"
unzip -q "$zip" -d "$unpacked"
for program in gputherm gputherm-report; do
  cmp "$unpacked/$top/$program.exe" "$build/bin/$program.exe" ||
    { echo "FAIL: the packed $program.exe is not the build's"; exit 1; }
  echo "packed $program.exe: identical to bin/$program.exe ($(stat -c %s "$build/bin/$program.exe") bytes)"
done
echo "unpacked into: $unpacked/$top"

# Threads take the program's default stack reservation, which its header carries: 1 MiB.
reserve=$(x86_64-w64-mingw32-objdump -p "$unpacked/$top/gputherm.exe" |
  awk '$1 == "SizeOfStackReserve" { print $2 }')
[ "$((16#${reserve:-0}))" = 1048576 ] ||
  { echo "FAIL: gputherm.exe reserves 0x${reserve:-?} bytes of stack, not 1 MiB"; exit 1; }
echo "gputherm.exe stack reservation: 1 MiB"

# Only libraries that Windows always takes from the system may be imported: its known DLLs, and
# comctl32, which the manifest binds to the system's side-by-side store. Any other name would be
# searched for beside the program first, where a planted file of that name would run at start.
for program in gputherm gputherm-report; do
  imports=$(x86_64-w64-mingw32-objdump -p "$unpacked/$top/$program.exe" |
    sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
  [ -n "$imports" ] || { echo "FAIL: no import table found in $program.exe"; exit 1; }
  for library in $imports; do
    case $library in
      advapi32.dll | comctl32.dll | comdlg32.dll | gdi32.dll | imm32.dll | kernel32.dll | \
        msvcrt.dll | ole32.dll | oleaut32.dll | rpcrt4.dll | shell32.dll | shlwapi.dll | user32.dll) ;;
      *) echo "FAIL: $program.exe imports $library, which Windows may take from beside the program"; exit 1 ;;
    esac
  done
  echo "$program.exe imports: $(echo $imports)"
done
