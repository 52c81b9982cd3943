#!/usr/bin/env bash
# Builds the Debian package and proves it on this machine: lintian finds no
# error or warning; dpkg installs it; the installed program, started from
# its installed path under Xvfb, loads the installed link library and draws
# its main window; the installed copyright file is the machine-readable MIT
# one; the installed virtual scanner is opened through the installed library
# and header by a program compiled here, and tavorin-capture (no GUI
# library) receives a picture from it; then the package is purged and
# nothing it brought may remain.
# Needs root (or sudo): it installs and removes a system package. It refuses
# to run where a tavorin package, or a stray copy of one of its files, is
# already there, rather than overwrite or remove what someone else put there.
# Usage: scripts/package-check.sh [build-dir, default build-pkg]
set -euo pipefail
cd "$(dirname "$0")/.."

sudo_cmd=()
if [ "$(id -u)" != 0 ]; then sudo_cmd=(sudo); fi

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# The build's output is shown as it comes; its last line is the package's
# path. (Not through `tee /dev/stderr`: where the log is a file, reopening
# it that way truncates everything logged before.)
log=$(mktemp)
bash scripts/package.sh "${1:-build-pkg}" | while IFS= read -r line; do
  echo "$line" >&2
  echo "$line" >"$log"
done
deb=$(cat "$log")
rm -f "$log"
echo "Package: $deb"
name=$(dpkg-deb -f "$deb" Package)

# The tools of this check, and what the package depends on, so that dpkg -i
# (which fetches nothing) can configure it.
tools=(lintian xvfb xauth desktop-file-utils librsvg2-bin fontconfig gcc libc6-dev python3-debian)
IFS=',' read -ra depends <<<"$(dpkg-deb -f "$deb" Depends)"
for d in "${depends[@]}"; do
  tools+=("$(sed -E 's/\|.*//; s/\(.*\)//; s/[[:space:]]//g' <<<"$d")")
done
bash scripts/deps.sh "${tools[@]}"

fail() {
  echo "package check: $*" >&2
  exit 1
}

status=$(dpkg-query -W -f='${db:Status-Status}' "$name" 2>/dev/null || true)
if [ -n "$status" ] && [ "$status" != not-installed ]; then
  fail "$name is already on this machine ($status); remove it first: sudo dpkg -P $name"
fi

work=$(mktemp -d)
scanner=
we_installed=0
cleanup() {
  if [ -n "$scanner" ]; then
    kill -TERM "$scanner" 2>/dev/null || true
    wait "$scanner" 2>/dev/null || true
  fi
  if ((we_installed)); then
    "${sudo_cmd[@]}" dpkg -P "$name" >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# ---- lintian ------------------------------------------------------------------
echo "== lintian"
lint_status=0
lintian --display-info --pedantic --fail-on error,warning "$deb" >"$work/lintian.txt" 2>&1 || lint_status=$?
grep -v 'running with root privileges' "$work/lintian.txt" || true
((lint_status == 0)) || fail "lintian found errors or warnings (status $lint_status)"

# ---- install ------------------------------------------------------------------
# Every path of the package, and which of them were there before: those that
# were not must be gone again after the purge. A file that is there already
# belongs to someone else and would be overwritten, then removed.
mapfile -t paths < <(dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -E 's|^\./?|/|; s|/$||' | grep -vx -e '' -e '/')
preexisting=()
for p in "${paths[@]}"; do
  if [ -e "$p" ] || [ -L "$p" ]; then
    [ -d "$p" ] && [ ! -L "$p" ] || fail "$p already exists outside any package install; move it away first"
    preexisting+=("$p")
  fi
done

echo "== dpkg -i"
we_installed=1
"${sudo_cmd[@]}" dpkg -i "$deb"
installed "$name" || fail "dpkg -i did not leave $name installed"

libdir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
library=$libdir/libOmbrix.so
[ -f "$library" ] || fail "$library is not installed"
# The ldconfig trigger ran: the linker's cache knows the library by name.
# (With /lib a link to /usr/lib the cache may name the other path to the
# same file, hence -ef rather than comparing names. The cache is read whole
# first: a reader that stops early would fail the pipe.)
cache=$(ldconfig -p)
cached=$(sed -n '/^[[:space:]]*libOmbrix\.so (/{s/.* => //p;q}' <<<"$cache")
[ -n "$cached" ] && [ "$cached" -ef "$library" ] || fail "the linker's cache does not list $library (it has '$cached')"

# ---- copyright ----------------------------------------------------------------
# The installed copyright file is machine-readable and grants what LICENSE
# grants. The system's own interpreter: it is the one python3-debian is for.
echo "== copyright"
/usr/bin/python3 packaging/copyright-check.py "/usr/share/doc/$name/copyright" LICENSE ||
  fail "/usr/share/doc/$name/copyright is not the machine-readable MIT (Expat) copyright file"

# ---- desktop entry, icon, font -------------------------------------------------
echo "== desktop entry and icon"
entry=/usr/share/applications/tavorin.desktop
desktop-file-validate "$entry" || fail "$entry is not a valid desktop entry"
for key in Name Comment 'Name\[ja\]' 'Comment\[ja\]'; do
  grep -Eq "^$key=.+" "$entry" || fail "$entry has no ${key//\\/} line"
done
command=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
[ "$(command -v "$command")" = /usr/bin/Tavorin_WIN ] || fail "the entry's command '$command' is not the installed program"
icon=$(sed -n 's/^Icon=//p' "$entry")
svg=/usr/share/icons/hicolor/scalable/apps/$icon.svg
rsvg-convert -w 64 -h 64 "$svg" -o "$work/icon.png" || fail "$svg does not render"
[ -s "$work/icon.png" ] || fail "$svg renders to nothing"
[ -n "$(fc-list :lang=ja family)" ] || fail "no font with Japanese glyphs is installed"

# ---- the virtual scanner through the installed library -----------------------
echo "== installed virtual scanner, opened through the installed library"
# A port directory of its own, so that no alias of anyone else is touched.
# Paced (its default): the program's screenshot mode later runs an image
# transfer against it and needs one that lasts long enough to be seen.
export XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"
/usr/bin/tavorin-virtual-scanner >"$work/scanner.out" 2>"$work/scanner.err" &
scanner=$!
for _ in $(seq 100); do
  [ -s "$work/scanner.out" ] && break
  kill -0 "$scanner" 2>/dev/null || { cat "$work/scanner.err" >&2; fail "the installed virtual scanner did not start"; }
  sleep 0.1
done
read -r port device <"$work/scanner.out" || fail "the virtual scanner printed nothing"
[[ $port =~ ^COM([0-9]+)$ ]] || fail "the virtual scanner printed '$port $device', not 'COM<n> <device>'"
com=${BASH_REMATCH[1]}
[ "$(readlink "$XDG_RUNTIME_DIR/ombrix/$port")" = "$device" ] || fail "no alias $port -> $device"

# Built only against what the package installed: its header in /usr/include
# and its library in the linker's path.
probe=$work/probe-src/debian/ombrix-probe/usr/bin/ombrix-probe
mkdir -p "$(dirname "$probe")"
cc -std=c99 -Wall -Wextra -Werror -o "$probe" packaging/ombrix-probe.c -lOmbrix
linked=$(ldd "$probe" | sed -n 's/^[[:space:]]*libOmbrix\.so => \([^ ]*\) .*/\1/p')
[ -n "$linked" ] && [ "$linked" -ef "$library" ] || fail "the probe is not linked to $library (ldd: '$linked')"
"$probe" "$com" || fail "the installed library could not open $port"
# A package of such a program gets its dependency on this one from the
# installed symbols file.
printf 'Source: ombrix-probe\n\nPackage: ombrix-probe\nArchitecture: any\n' >"$work/probe-src/debian/control"
mkdir "$work/probe-src/debian/ombrix-probe/DEBIAN"
probe_depends=$(cd "$work/probe-src" && dpkg-shlibdeps -O debian/ombrix-probe/usr/bin/ombrix-probe)
grep -q "$name (>= [^)]*)" <<<"$probe_depends" ||
  fail "dpkg-shlibdeps gave a program linked to libOmbrix.so no dependency on $name: $probe_depends"

# ---- tavorin-capture ----------------------------------------------------------------
echo "== installed tavorin-capture and its manual page"
capture=/usr/bin/tavorin-capture
[ -x "$capture" ] || fail "$capture is not installed"
page=/usr/share/man/man1/tavorin-capture.1.gz
[ -f "$page" ] || fail "$page is not installed"
# Whole texts are read before they are searched: grep -q stops at its
# match, and the writer of a longer text then meets a closed pipe.
page_text=$(zcat "$page")
grep -q '^\.SH EXIT STATUS' <<<"$page_text" || fail "$page has no exit statuses"
# Meant for machines without a display: nothing of Qt's widgets or GUI.
libraries=$(ldd "$capture") || fail "ldd cannot read $capture"
if grep -Eq 'libQt6(Widgets|Gui)' <<<"$libraries"; then fail "$capture links Qt's GUI libraries"; fi
help_text=$("$capture" --help) || fail "$capture --help failed"
grep -q 'Exit status' <<<"$help_text" || fail "$capture --help shows no exit statuses"
# A small picture from the installed scanner, through the installed library.
capture_json=$(cd "$work" && "$capture" --port "$port" --line 115200,8,N,1 --ship --pixels 1 \
  --left 0 --right 159 --top 0 --bottom 119 --output capture.jpg --json) ||
  fail "$capture did not receive a picture: $capture_json"
grep -q '"result":0' <<<"$capture_json" || fail "$capture reported: $capture_json"
[ "$(head -c 2 "$work/capture.jpg" | od -An -tx1 | tr -d ' \n')" = ffd8 ] || fail "$capture wrote no JPEG"

# ---- the installed program under Xvfb ---------------------------------------------
echo "== installed program under Xvfb, screenshot mode"
mkdir "$work/run" "$work/shots" "$work/ld" "$work/home"
# Started as the menu starts it, by the entry's command line, from a folder
# that stands for wherever the desktop starts programs, with a home of its
# own: the settings and the received picture must land in the per-user
# folder, not there. The loader's log tells which libOmbrix.so the program
# picked up: it must find the installed one by name, as nothing lies beside
# /usr/bin/Tavorin_WIN.
read -ra menu_command <<<"$(sed -n 's/^Exec=//p' "$entry")"
(cd "$work/run" &&
  env -u XDG_DATA_HOME HOME="$work/home" \
    LD_DEBUG=libs LD_DEBUG_OUTPUT="$work/ld/log" TAVORIN_SCREENSHOTS="$work/shots" \
    timeout 120 xvfb-run -a -s "-screen 0 1280x1024x24" "${menu_command[@]}") ||
  fail "the installed program failed in screenshot mode"
own=$work/home/.local/share/tavorin
[ -f "$own/Tavorin.ini" ] || fail "started from the menu, the program kept no Tavorin.ini in $own"
[ "$(stat -c %a "$own")" = 700 ] || fail "$own is not for its user only (mode $(stat -c %a "$own"))"
[ -z "$(ls -A "$work/run")" ] || fail "started from the menu, the program wrote into its start folder: $(ls -A "$work/run")"
# A PNG the size of a window: its signature, then width and height.
main_png=$work/shots/main.png
[ -s "$main_png" ] || fail "the installed program wrote no main window picture"
[ "$(head -c 8 "$main_png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "$main_png is not a PNG"
read -r width height < <(od -An -tu1 -j16 -N8 "$main_png" |
  awk '{ print $1*16777216 + $2*65536 + $3*256 + $4, $5*16777216 + $6*65536 + $7*256 + $8 }')
((width >= 320 && height >= 200)) || fail "the main window picture is only ${width}x$height"
echo "main.png: ${width}x$height"
loaded=$(sed -n 's/.*calling init: \(.*\/libOmbrix\.so\)$/\1/p' "$work"/ld/log.* | sed -n 1p)
[ -n "$loaded" ] && [ "$loaded" -ef "$library" ] ||
  fail "the installed program did not load $library (it loaded '$loaded')"
ls "$work/shots"

kill -TERM "$scanner"
wait "$scanner" || fail "the virtual scanner did not end cleanly"
scanner=
[ ! -e "$XDG_RUNTIME_DIR/ombrix/$port" ] || fail "the virtual scanner left its alias $port behind"

# ---- removal ----------------------------------------------------------------------
echo "== dpkg -r, dpkg -P"
"${sudo_cmd[@]}" dpkg -r "$name"
"${sudo_cmd[@]}" dpkg -P "$name"
we_installed=0
status=$(dpkg-query -W -f='${db:Status-Status}' "$name" 2>/dev/null || true)
[ -z "$status" ] || [ "$status" = not-installed ] || fail "$name is still known to dpkg as $status"
left=()
for p in "${paths[@]}"; do
  if [ -e "$p" ] || [ -L "$p" ]; then
    grep -qxF "$p" <<<"$(printf '%s\n' "${preexisting[@]}")" || left+=("$p")
  fi
done
((${#left[@]} == 0)) || fail "left behind after the purge: ${left[*]}"
cache=$(ldconfig -p)
if grep -q 'libOmbrix\.so ' <<<"$cache"; then fail "the linker's cache still lists libOmbrix.so"; fi
compgen -G "/var/lib/dpkg/info/$name.*" >/dev/null && fail "dpkg still keeps files of $name: $(echo /var/lib/dpkg/info/"$name".*)"
echo "Package check passed: $deb"
