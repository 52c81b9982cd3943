#!/usr/bin/env bash
# The installer under Wine, as a user without administrator rights runs it
# silently: it puts exactly the package's files and its uninstaller into
# %LOCALAPPDATA%\Programs\Tavorin, a Start-menu entry that starts the
# program from the menu, and an entry in the user's list of programs; the
# installed program starts and works in its per-user folder; the silent
# uninstall then takes away all it added and nothing the user made.
# Usage: with-vscanner.sh ... -- installer_test.sh <wine prefix> <setup.exe> <staged folder>
set -euo pipefail
export WINEPREFIX="$1"
setup="$2"
stage="$3"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[ -f "$setup" ] && [ -d "$stage" ] || {
  echo "no installer at $setup: build the target windows_package first"
  exit 1
}
status=0
fail() {
  echo "FAIL: $*"
  status=1
}
unix() { winepath -u "$1" 2>/dev/null | tr -d '\r'; }
folder_of() { unix "$(wine cmd /c echo "%$1%" 2>/dev/null | tr -d '\r')"; }
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tavorin'

local_data="$(folder_of LOCALAPPDATA)"
roaming="$(folder_of APPDATA)"
target="$local_data/Programs/Tavorin"
shortcut="$roaming/Microsoft/Windows/Start Menu/Programs/Tavorin.lnk"
data="$local_data/Tavorin"
rm -rf "$target" "$data" "$shortcut"
[ -d "$local_data" ] || fail "no %LOCALAPPDATA% in the prefix ($local_data)"

wine "$setup" /S </dev/null >/dev/null 2>&1 || fail "the silent install ended with $?"

expected="$( (cd "$stage" && find . -type f; echo ./Uninstall.exe) | LC_ALL=C sort)"
installed="$( (cd "$target" 2>/dev/null && find . -type f) | LC_ALL=C sort)"
[ "$installed" = "$expected" ] ||
  fail "installed files differ from the package: $(diff <(echo "$expected") <(echo "$installed") | head)"
cmp -s "$stage/Tavorin_WIN.exe" "$target/Tavorin_WIN.exe" || fail "Tavorin_WIN.exe differs"
[ -f "$shortcut" ] || fail "no Start-menu entry at $shortcut"
# The shortcut starts the program with the mark of a start from the menu.
grep -qa -- '--from-menu' "$shortcut" 2>/dev/null ||
  LC_ALL=C grep -qaP -- '-\x00-\x00f\x00r\x00o\x00m\x00-\x00m\x00e\x00n\x00u' "$shortcut" ||
  fail "the Start-menu entry does not pass --from-menu"
entry=$(wine reg query "$key" /v UninstallString 2>/dev/null) || entry=
grep -q 'Uninstall.exe' <<<"$entry" || fail "no uninstall entry under $key"

# Started as the Start menu starts it, the installed program works in its
# per-user folder: its screenshot mode draws every window, takes a picture
# from the scanner (with-vscanner.sh runs this test) and ends, and the
# settings it writes at the end land in %LOCALAPPDATA%\Tavorin.
shots="$(mktemp -d)"
TAVORIN_SCREENSHOTS="$(winepath -w "$shots" 2>/dev/null | tr -d '\r')" \
  TAVORIN_SCREENSHOTS_PORT="${TAVORIN_VSCANNER_COM:?run by with-vscanner.sh}" \
  wine "$target/Tavorin_WIN.exe" --from-menu -platform offscreen </dev/null >/dev/null 2>&1 ||
  fail "the installed program ended with $?"
for shot in main.png comsetting.png terminal.png picture.png picture_imgshp.png; do
  [ -s "$shots/$shot" ] || fail "the installed program did not draw $shot"
done
[ -f "$data/Tavorin.ini" ] || fail "no Tavorin.ini in $data after a start from the menu"
rm -rf "$shots"
echo "kept by the user" >"$data/note.txt"

wine "$target/Uninstall.exe" /S </dev/null >/dev/null 2>&1 || fail "the silent uninstall ended with $?"
# The uninstaller runs from a copy of itself in the temporary folder and
# returns at once; its work is done when the folder is gone.
for _ in $(seq 1 150); do
  [ -e "$target" ] || break
  sleep 0.2
done
[ ! -e "$target" ] || fail "left behind: $(cd "$target" && find . | head)"
[ ! -e "$shortcut" ] || fail "the Start-menu entry is still there"
if wine reg query "$key" >/dev/null 2>&1; then fail "the uninstall entry is still there"; fi
[ -f "$data/note.txt" ] || fail "the uninstall removed the user's own files"
rm -rf "$data"
[ "$status" = 0 ] && echo "installed $(echo "$expected" | wc -l) files, started, uninstalled"
exit "$status"
