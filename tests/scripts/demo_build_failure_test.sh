#!/usr/bin/env bash
# scripts/demo on a tree that does not compile: it must fail with the compiler's error on its
# output, not after a silent minute with none.
#   demo_build_failure_test.sh SOURCE_DIR
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 SOURCE_DIR" >&2; exit 2; }
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A copy of the sources without builds, with a header that every runtime file includes broken.
tar -C "$src" --exclude=./build --exclude=./.git -cf - . | tar -C "$work" -xf -
echo '#error the header is broken on purpose for the demo test' >>"$work/rtc_base/base/checks.h"

status=0
output=$(VORTM_DEMO_BUILD_DIR="$work/build" "$work/scripts/demo" 2>&1) || status=$?
fail() {
  echo "$1"
  echo "== demo output (last 30 lines)"
  tail -30 <<<"$output"
  exit 1
}
[ "$status" -ne 0 ] || fail "the demo passed with a broken build"
grep -qF "error: #error the header is broken on purpose for the demo test" <<<"$output" ||
  fail "the compiler's error is not on the demo's output"
grep -q '^\[[0-9]*/[0-9]*\] ' <<<"$output" || fail "the build's progress is not shown"
grep -qF "demo FAILED" <<<"$output" || fail "the demo does not say that it failed"
echo "ok: the demo failed with the compiler's error (status $status)"
