#!/usr/bin/env bash
# Checks Ombrix.dll as a program that loads it sees it: the file name, an
# export table that lists exactly the functions the public header declares,
# each by its plain name, and imports from system DLLs only (no MinGW
# runtime DLL that a user's machine would lack).
# Usage: check_dll.sh <path to Ombrix.dll> <path to ombrix.h>
set -euo pipefail
dll="$1"
header="$2"
status=0

if [ "$(basename "$dll")" != Ombrix.dll ]; then
  echo "the library is named $(basename "$dll"), not Ombrix.dll"
  status=1
fi

table="$(x86_64-w64-mingw32-objdump -p "$dll")"
declared="$(grep -oE 'OMBRIX_API [a-z0-9_]+ Ombrix_[A-Za-z]+\(' "$header" |
  grep -oE 'Ombrix_[A-Za-z]+' | sort)"
exported="$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$table" | tail -n +2 |
  grep -oE '\] +[^ ]+$' | sed -E 's/^\] +//' | sort)"
if [ -z "$declared" ] || [ "$declared" != "$exported" ]; then
  echo "export table differs from the header's functions:"
  diff <(echo "$declared") <(echo "$exported") || true
  status=1
fi

imports="$(grep -oE 'DLL Name: .*' <<<"$table" | sed 's/DLL Name: //')"
while read -r name; do
  case "${name,,}" in
    kernel32.dll | user32.dll | msvcrt.dll | advapi32.dll | ntdll.dll) ;;
    *)
      echo "imports $name, which is not a system DLL"
      status=1
      ;;
  esac
done <<<"$imports"

echo "exports: $(echo $exported)"
echo "imports: $(echo $imports)"
exit "$status"
