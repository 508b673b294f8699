#!/usr/bin/env bash
# Every public header compiles on its own, twice in a row, with every warning an error, seeing
# nothing but the public include directory: the vy::rtm headers as C++11, the kit's as C++17 (the
# standard they ask for), and the kit's refuse an older standard with their own message.
#   headers_test.sh CXX INCLUDE_DIR
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 CXX INCLUDE_DIR" >&2; exit 2; }
cxx=$1 include=$2
count=0
for header in "$include"/vortm/*.h; do
  name=vortm/$(basename "$header")
  std=c++11
  if grep -q 'needs C++17' "$header"; then
    std=c++17
    old=$(printf '#include <%s>\n' "$name" |
      "$cxx" -std=c++11 -fsyntax-only -I"$include" -x c++ - 2>&1 || true)
    grep -q 'needs C++17' <<<"$old" || { echo "$name does not say it needs C++17" >&2; exit 1; }
  fi
  printf '#include <%s>\n#include <%s>\n' "$name" "$name" |
    "$cxx" -std=$std -Wall -Wextra -Wpedantic -Werror -fsyntax-only -I"$include" -x c++ - ||
    { echo "$name does not compile on its own as $std" >&2; exit 1; }
  count=$((count + 1))
done
[ "$count" -ge 7 ] || { echo "only $count headers in $include/vortm" >&2; exit 1; }
echo "ok: $count public headers compile on their own"
