#!/usr/bin/env bash
# Every public header compiles on its own, twice in a row, as C++11 with every warning an error,
# seeing nothing but the public include directory.
#   headers_test.sh CXX INCLUDE_DIR
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 CXX INCLUDE_DIR" >&2; exit 2; }
cxx=$1 include=$2
count=0
for header in "$include"/vortm/*.h; do
  name=vortm/$(basename "$header")
  printf '#include <%s>\n#include <%s>\n' "$name" "$name" |
    "$cxx" -std=c++11 -Wall -Wextra -Wpedantic -Werror -fsyntax-only -I"$include" -x c++ - ||
    { echo "$name does not compile on its own" >&2; exit 1; }
  count=$((count + 1))
done
[ "$count" -ge 7 ] || { echo "only $count headers in $include/vortm" >&2; exit 1; }
echo "ok: $count public headers compile on their own"
