#!/usr/bin/env bash
# Installs the build into a fresh prefix, builds a small C client against the
# installed package twice (pkg-config and CMake find_package) and runs both.
#
#   install_test.sh BUILD_DIR CLIENT_SOURCE C_COMPILER LIBDIR SANITIZE
set -euo pipefail
build=$1 client=$2 cc=$3 libdir=$4 sanitize=$5

tmp=$(mktemp -d /tmp/qzusbd-install.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

flags=()
[ -n "$sanitize" ] && flags=("-fsanitize=$sanitize")

# The shared library carries its SONAME, and the development link points at it.
soname=$(readelf -d "$prefix/$libdir/libqzusbd.so" | sed -n 's/.*Library soname: \[\(.*\)\].*/\1/p')
[ -n "$soname" ] && [ -e "$prefix/$libdir/$soname" ] || { echo "no SONAME on the installed library" >&2; exit 1; }

run_client() {  # run_client PROGRAM
  local cfg=$tmp/cfg-$(basename "$1")
  mkdir -m 700 -p "$cfg" "$tmp/run"
  QZUSBD_CONFIG_DIR=$cfg QZUSBD_RUNTIME_DIR=$tmp/run "$1"
  # Loading the library created its configuration file.
  [ -f "$cfg/qzusbd.ini" ] || { echo "$1: the library did not load" >&2; exit 1; }
}

# pkg-config
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
# Drop the installed tree somewhere else: the .pc file must follow it.
mv "$prefix" "$tmp/moved"
prefix=$tmp/moved
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
# shellcheck disable=SC2046
"$cc" "${flags[@]}" -Wall -Werror "$client" $(pkg-config --cflags --libs qzusbd) \
  -Wl,-rpath,"$(pkg-config --variable=libdir qzusbd)" -o "$tmp/client-pkgconfig"
run_client "$tmp/client-pkgconfig"

# The tools are installed beside each other, and the installed qzsay loads the
# installed library (found through its run path, wherever the tree was moved).
if [ -e "$build/tools/qzsay" ]; then
  for tool in qzsay qzsim qzdoctor; do
    [ -x "$prefix/bin/$tool" ] || { echo "$tool is not installed" >&2; exit 1; }
  done
  mkdir -m 700 -p "$tmp/run" "$tmp/cfg-qzsay"
  status=0
  said=$(QZUSBD_CONFIG_DIR=$tmp/cfg-qzsay QZUSBD_RUNTIME_DIR=$tmp/run LD_DEBUG=files "$prefix/bin/qzsay" Hello 2>&1) ||
    status=$?
  [ "$status" = 2 ] || { echo "installed qzsay: exit $status, expected 2 (no synthesizer): $said" >&2; exit 1; }
  grep -q "calling init: $prefix/bin/\.\./$libdir/libqzusbd\.so\.0" <<<"$said" ||
    { echo "installed qzsay did not load the installed library" >&2; exit 1; }
fi

# find_package
mkdir "$tmp/cmake-client"
cp "$client" "$tmp/cmake-client/client.c"
cat >"$tmp/cmake-client/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(client C)
find_package(qzusbd 0.1 REQUIRED)
add_executable(client client.c)
target_link_libraries(client PRIVATE qzusbd::qzusbd)
CMAKE
cmake -S "$tmp/cmake-client" -B "$tmp/cmake-client/build" -G Ninja -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="${flags[*]:-}" -DCMAKE_EXE_LINKER_FLAGS="${flags[*]:-}" >/dev/null
cmake --build "$tmp/cmake-client/build" >/dev/null
run_client "$tmp/cmake-client/build/client"
echo "installed package works through pkg-config and find_package"
