#!/bin/sh
# Checks that a built module exports exactly the names of its .def file: no
# decoration, nothing missing, nothing more.
# Usage: check-exports.sh MODULE DEF-FILE
set -eu
module=$1
def=$2
expected=$(grep -v '^EXPORTS' "$def" | tr -d ' \t\r' | grep -v '^$' | sort)
case "$module" in
  *.dll)
    if i686-w64-mingw32-objdump -f "$module" 2>/dev/null | grep -q 'pei-i386'; then
      dumper=i686-w64-mingw32-objdump
    else
      dumper=x86_64-w64-mingw32-objdump
    fi
    actual=$($dumper -p "$module" | awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && NF==0 {on=0} on {print $NF}' | sort)
    ;;
  *)
    actual=$(nm -D --defined-only "$module" | awk '$2 ~ /^[TtWwDdBbRr]$/ {print $3}' | sort)
    ;;
esac
if [ "$expected" != "$actual" ]; then
  echo "exports of $module differ from $def" >&2
  echo "expected:" >&2; echo "$expected" >&2
  echo "actual:" >&2; echo "$actual" >&2
  exit 1
fi
echo "$module exports exactly: $(echo $actual)"
