#!/usr/bin/env bash
# Installs VoRtmKit as an app developer would, shared and static, checks what the shared library
# exports, and builds the consumer app against each installed tree twice (find_package and
# pkg-config) and runs it against the installed local test service: it leaves a kit and services
# to the end of the process, which must end cleanly, and logs them out there (each logout
# answers 101, the library having stopped).
#   tests/install/run.sh [WORK_DIR]    (default build/install-test)
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
work=${1:-$src/build/install-test}
mkdir -p "$work"
work=$(cd "$work" && pwd)
here=$src/tests/install
passed=0
service_pid=""
# The kit's default log goes here, not into the user's cache.
export XDG_CACHE_HOME=$work/cache

fail() {
  echo "install test FAILED: $*" >&2
  exit 1
}
cleanup() {
  if [ -n "$service_pid" ]; then
    kill "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

# Runs a command quietly, showing its output only when it fails.
quiet() {
  local log=$work/last.log
  "$@" >"$log" 2>&1 || { cat "$log" >&2; fail "$*"; }
}

# One library build serves both: switching BUILD_SHARED_LIBS relinks vortm and compiles nothing.
rm -rf "$work/shared" "$work/static" "$work/apps" "$work"/service-*.log
mkdir -p "$work/apps"
for kind in shared static; do
  shared=OFF
  [ "$kind" = shared ] && shared=ON
  quiet cmake -S "$src" -B "$work/lib" -G Ninja -DCMAKE_BUILD_TYPE= -DVORTM_SANITIZE= \
    -DVORTM_BUILD_TESTS=OFF -DVORTM_BUILD_BENCH=OFF -DBUILD_SHARED_LIBS=$shared
  quiet cmake --build "$work/lib"
  quiet cmake --install "$work/lib" --prefix "$work/$kind"
done
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$work/lib/CMakeCache.txt")

# The shared library exports the C entry points and names the public headers declare in the
# public namespaces, nothing else: no member of a type they leave opaque (a class's Impl).
pc_dir=$(dirname "$(find "$work/shared" -name vortm.pc)")
libdir=$(PKG_CONFIG_PATH=$pc_dir pkg-config --variable=libdir vortm)
exports=$(nm -D --defined-only "$libdir/libvortm.so" | awk '{ print $3 }' | c++filt)
for name in createRtmService getRtmSdkVersion VyRtm_OpenRtcLog VyRtm_CloseRtcLog; do
  grep -qx "$name" <<<"$exports" || fail "libvortm.so does not export $name"
done
headers=$(cat "$src"/include/vortm/*.h)
opaque=$(sed -nE 's/^ +(struct|class) ([A-Za-z_][A-Za-z0-9_]*);$/\2/p' <<<"$headers" | paste -sd'|')
others=$(grep -vxE 'createRtmService|getRtmSdkVersion|VyRtm_OpenRtcLog|VyRtm_CloseRtcLog' \
  <<<"$exports" | sed -E 's/^(vtable|typeinfo|typeinfo name) for //' | while read -r name; do
    top=$(sed -nE 's/^(vy::rtm|vortm)::([A-Za-z_][A-Za-z0-9_]*).*/\2/p' <<<"$name")
    if [ -z "$top" ] || ! grep -qw "$top" <<<"$headers" ||
      grep -qE "::($opaque)::" <<<"${name%%(*}"; then echo "$name"; fi
  done || true)
[ -z "$others" ] || fail "libvortm.so exports more than the public API:"$'\n'"$others"
passed=$((passed + 1))

# Checks one built app: its link to vortm, then its run.
run_app() {
  local kind=$1 app=$2 name
  name=$(basename "$app")
  if readelf -d "$app" | grep -q 'NEEDED.*libvortm\.so'; then
    [ "$kind" = shared ] || fail "$name links libvortm.so"
  else
    [ "$kind" = static ] || fail "$name does not link libvortm.so"
  fi
  timeout 60 "$app" "$address" 7080 >"$app.out" 2>"$app.err" ||
    { cat "$app.out" "$app.err" >&2; fail "$name did not finish its run"; }
  # Only the app's own lines: the library writes nothing to standard output or error.
  [ ! -s "$app.err" ] || fail "$name: standard error got: $(head -5 "$app.err")"
  printf 'VoRtmKit %s (%s)\nbob received alice: hello bob\nlogged out\n%s\n%s\n' "$version" \
    "$(awk -F. '{ print $1 * 1000000 + $2 * 10000 + $3 * 100 + $4 }' <<<"$version")" \
    "kit logout at exit: 101" "service login, setParameters, logout at exit: 101 101 101" |
    diff - "$app.out" >&2 || fail "$name printed other lines than these"
  passed=$((passed + 1))
}

for kind in shared static; do
  prefix=$work/$kind
  log=$work/service-$kind.log
  "$prefix/bin/vortm-local-service" --address auto >"$log" 2>&1 &
  service_pid=$!
  for _ in $(seq 200); do
    grep -qs "^vortm-local-service: HTTP" "$log" && break
    kill -0 "$service_pid" 2>/dev/null || { cat "$log" >&2; fail "no local service"; }
    sleep 0.05
  done
  address=$(sed -n 's/^vortm-local-service: HTTP \([0-9.]*\):7080.*/\1/p' "$log")
  [ -n "$address" ] || { cat "$log" >&2; fail "the local service named no address"; }

  # find_package, asking for the exact version the header and vortm.pc carry.
  quiet cmake -S "$here" -B "$work/apps/cmake-$kind" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DVORTM_EXPECTED_VERSION="$version"
  quiet cmake --build "$work/apps/cmake-$kind"
  run_app "$kind" "$work/apps/cmake-$kind/consumer"

  # pkg-config, as a plain compiler line.
  export PKG_CONFIG_PATH
  PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name vortm.pc)")
  [ "$(pkg-config --modversion vortm)" = "$version" ] || fail "vortm.pc names another version"
  if [ "$kind" = shared ]; then
    libs="$(pkg-config --libs vortm) -Wl,-rpath,$(pkg-config --variable=libdir vortm)"
  else
    libs=$(pkg-config --static --libs vortm)
  fi
  # shellcheck disable=SC2046,SC2086
  quiet c++ -std=c++17 -Wall -Wextra -Wpedantic -Werror $(pkg-config --cflags vortm) \
    "$here/consumer.cc" -o "$work/apps/pkg-config-$kind" $libs
  run_app "$kind" "$work/apps/pkg-config-$kind"

  cleanup
  service_pid=""
done
echo "install: $passed passed, 0 failed"
