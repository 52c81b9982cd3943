#!/usr/bin/env bash
# Checks what a Windows user downloads, as the system will load it: every
# DLL that a program, DLL or plugin in the folder imports is in the folder
# beside the programs or is a DLL of Windows itself; the programs are a GUI
# and a console executable; Qt's Japanese texts, the licences and nothing
# meant for tests are there; the compiler's runtime DLLs carry no debugging
# symbols; and the zip holds exactly the folder.
# Usage: check_package.sh <staged folder> <zip>
set -euo pipefail
stage="$1"
zip="$2"
status=0
fail() {
  echo "$*"
  status=1
}
[ -d "$stage" ] && [ -f "$zip" ] || {
  echo "no package at $stage / $zip: build the target windows_package first"
  exit 1
}
objdump=x86_64-w64-mingw32-objdump

# DLLs every Windows has (and Wine provides), which a program may import.
system_dlls=" kernel32.dll user32.dll gdi32.dll advapi32.dll shell32.dll ole32.dll oleaut32.dll
  comdlg32.dll comctl32.dll ws2_32.dll setupapi.dll cfgmgr32.dll msvcrt.dll ntdll.dll imm32.dll
  winmm.dll version.dll uxtheme.dll dwmapi.dll d3d9.dll d3d11.dll dxgi.dll dwrite.dll d2d1.dll
  netapi32.dll userenv.dll shlwapi.dll wtsapi32.dll mpr.dll crypt32.dll secur32.dll shcore.dll
  authz.dll bcrypt.dll iphlpapi.dll dnsapi.dll winspool.drv opengl32.dll "
system_dlls=" $(echo $system_dlls) "
shipped=" $(cd "$stage" && find . -maxdepth 1 -iname '*.dll' -printf '%f ' | tr 'A-Z' 'a-z') "

count=0
while IFS= read -r -d '' binary; do
  count=$((count + 1))
  while read -r name; do
    lower="${name,,}"
    case "$lower" in api-ms-win-*) continue ;; esac
    if [[ "$system_dlls" != *" $lower "* && "$shipped" != *" $lower "* ]]; then
      fail "${binary#"$stage"/} imports $name, which is neither shipped nor part of Windows"
    fi
  done < <("$objdump" -p "$binary" | sed -n 's/^\s*DLL Name: //p')
done < <(find "$stage" \( -iname '*.exe' -o -iname '*.dll' \) -print0)
[ "$count" -ge 10 ] || fail "only $count programs and DLLs in the package"

subsystem() { "$objdump" -p "$stage/$1" | sed -n 's/^Subsystem\s*//p'; }
[[ "$(subsystem Tavorin_WIN.exe)" == *"Windows GUI"* ]] || fail "Tavorin_WIN.exe is not a GUI program"
[[ "$(subsystem tavorin-capture.exe)" == *"Windows CUI"* ]] ||
  fail "tavorin-capture.exe is not a console program"

for f in Ombrix.dll Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll platforms/qwindows.dll \
  styles/qwindowsvistastyle.dll imageformats/qjpeg.dll translations/qtbase_ja.qm LICENSE.txt \
  README.txt licenses/Qt/LGPL-3.0-only.txt licenses/Qt/SOURCE.txt licenses/MinGW/gcc-runtime.txt; do
  [ -f "$stage/$f" ] || fail "missing: $f"
done
[ ! -e "$stage/Qt6Test.dll" ] || fail "Qt6Test.dll is for the tests, not for users"
for f in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
  sections=$("$objdump" -h "$stage/$f") || fail "$objdump cannot read $f"
  if grep -q '\.debug_' <<<"$sections"; then fail "$f still has debugging symbols"; fi
done

# The zip: one folder, the staged one, file for file.
listed="$(python3 -c 'import sys, zipfile
print("\n".join(sorted(n for n in zipfile.ZipFile(sys.argv[1]).namelist() if not n.endswith("/"))))' "$zip")"
expected="$(cd "$(dirname "$stage")" && find "$(basename "$stage")" -type f | LC_ALL=C sort)"
[ "$listed" = "$expected" ] || fail "the zip differs from the staged folder: $(diff <(echo "$expected") <(echo "$listed") | head)"

echo "checked $count programs and DLLs; $(du -sh "$stage" | cut -f1) unpacked, $(du -h "$zip" | cut -f1) zipped"
exit "$status"
