#!/usr/bin/env bash
# Makes a private Wine prefix for the project's Windows programs, once:
#   - made before any dosdevices link, without Mono or Gecko;
#   - COM5 to COM8 named in Wine's port table, each leading to a link in
#     <prefix>/tavorin-ports/ that a test or a demo points at a scanner's
#     pseudo-terminal: Wine then lists them in the serial device map, as a
#     driver's ports are listed on Windows, so discovery finds them;
#   - Wine's own fonts for its captions, and a Japanese face wherever a
#     program asks for one of Windows' Japanese UI faces;
#   - with --null-display, the null display driver: real windows without an
#     X server (the tests); without it, Wine's X11 driver (screenshots).
# Usage: scripts/wine-prefix.sh PREFIX [--null-display]
# Wine must not be running in the prefix while it is set up.
set -euo pipefail
export WINEPREFIX="$1"
display="${2:-}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
stamp="$WINEPREFIX/tavorin-setup-1"
[ -f "$stamp" ] && exit 0

echo "Making the Wine prefix in $WINEPREFIX"
mkdir -p "$WINEPREFIX"
wineboot -i >/dev/null 2>&1 || true
wineserver -w
if [ "$display" = --null-display ]; then
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
fi
mkdir -p "$WINEPREFIX/tavorin-ports"
for n in 5 6 7 8; do
  wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$WINEPREFIX/tavorin-ports/com$n" \
    /f >/dev/null 2>&1
done
cp /usr/share/wine/fonts/*.ttf /usr/share/wine/fonts/*.fon "$WINEPREFIX/drive_c/windows/Fonts/" \
  2>/dev/null || true
for face in "MS UI Gothic" "MS Gothic" "MS PGothic" "Meiryo" "Meiryo UI" "Yu Gothic UI"; do
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /d "Noto Sans CJK JP" \
    /f >/dev/null 2>&1
done
# The port table is read when Wine starts.
wineserver -k 2>/dev/null || true
wineserver -w
touch "$stamp"
