#!/usr/bin/env bash
# Apps call the vy::rtm interfaces through their vtables, so the slot order is part of the binary
# interface: in every interface the two destructors come first. The compiler's own class dump is
# the judge.
#   interface_layout_test.sh CXX SOURCE_DIR
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 CXX SOURCE_DIR" >&2; exit 2; }
cxx=$1 src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo '#include <vortm/rtm_service.h>' >"$work/api.cc"
(cd "$work" && "$cxx" -std=c++20 -I"$src/include" -fdump-lang-class -c api.cc -o api.o)
dump=$(ls "$work"/api.cc.*class)

# Each vtable block: its class name, then entries "offset value" (offset-to-top and type info
# first). A destructor slot names the destructor, or reads 0 in an abstract class; slots 0 and 1
# must be the destructors and no later slot may be one.
awk '
  function is_dtor(line) { return $2 == "0" || index(line, "::~" name) > 0 }
  /^Vtable for vy::rtm::/ { name = $3; sub(/^vy::rtm::/, "", name); n = 0; checked++; next }
  name != "" && /^[0-9]+ / {
    slot = n++ - 2
    if (slot < 0) next
    if ((slot < 2) != is_dtor($0)) {
      printf "%s: slot %d is %s\n", name, slot, $NF; bad++
    }
    next
  }
  /^$/ { name = "" }
  END {
    if (checked < 11) { printf "only %d vy::rtm vtables in the dump\n", checked; exit 1 }
    if (bad) exit 1
    printf "ok: %d vy::rtm interfaces begin with their destructors\n", checked
  }
' "$dump"
