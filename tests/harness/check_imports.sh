#!/usr/bin/env bash
# The programs must import system DLLs only (everything else is linked in).
#   check_imports.sh OBJDUMP FILE...
set -u
objdump=$1
shift
status=0
for f in "$@"; do
  dlls=$("$objdump" -p "$f" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
  if [ -z "$dlls" ]; then echo "$f: no imports found"; status=1; fi
  for d in $dlls; do
    case "$d" in
      libstdc++*|libgcc*|libwinpthread*|zlib*|libz*) echo "$f imports $d"; status=1 ;;
    esac
  done
  echo "$f: $(echo $dlls | tr '\n' ' ')"
done
exit $status
