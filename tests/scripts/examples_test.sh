#!/usr/bin/env bash
# Runs an example from examples/ against the test device server and checks
# what reached the device and what came back.
#
#   examples_test.sh SERVER LIBRARY C_COMPILER SANITIZE COMMAND...
#
# LIBRARY is the built libqzusbd.so (the Python example loads it through
# $QZUSBD_LIBRARY); C_COMPILER and SANITIZE tell a sanitizer build which
# runtime an uninstrumented interpreter must preload.
set -euo pipefail
server=$1 library=$2 cc=$3 sanitize=$4
shift 4

tmp=$(mktemp -d /tmp/qzusbd-example.XXXXXX)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
mkdir -m 700 "$tmp/run" "$tmp/cfg"
export QZUSBD_RUNTIME_DIR=$tmp/run QZUSBD_CONFIG_DIR=$tmp/cfg QZUSBD_LIBRARY=$library

"$server" "$tmp/run" --echo-text --markers --text-log "$tmp/text" >"$tmp/server.out" &
server_pid=$!
for _ in $(seq 100); do grep -q ready "$tmp/server.out" 2>/dev/null && break; sleep 0.05; done
grep -q ready "$tmp/server.out"

# A program that is not built with the sanitizer (the Python interpreter)
# needs its runtime loaded first; the interpreter itself, not a wrapper
# script that starts it.
case "$1" in
  *python*)
    interpreter=$("$1" -c 'import sys; print(sys.executable)')
    shift
    set -- "$interpreter" "$@"
    case "$sanitize" in
      *address*)
        export LD_PRELOAD="$("$cc" -print-file-name=libasan.so):$("$cc" -print-file-name=libubsan.so)"
        export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
        ;;
      *thread*)
        export LD_PRELOAD="$("$cc" -print-file-name=libtsan.so)"
        ;;
    esac
    ;;
esac

out=$("$@" "Say it.")
unset LD_PRELOAD
echo "$out"
kill "$server_pid"
wait "$server_pid"
server_pid=

# The text filter turns the space into 0x00; the carriage return ends the
# line; the end marker follows.
expected=$(printf 'Say\000it.\r\00199\001' | od -An -tx1)
got=$(od -An -tx1 "$tmp/text")
if [ "$got" != "$expected" ]; then
  echo "the device received [$got], expected [$expected]" >&2
  exit 1
fi
# "spoke" comes only once the end marker's reply 99 is back.
grep -q '^spoke 7 bytes$' <<<"$out" || { echo "the end marker's reply did not come back" >&2; exit 1; }
# The server echoes text bytes below 100 as replies: 'S' is 83.
grep -q '^reply 83$' <<<"$out" || { echo "no reply byte 83 came back" >&2; exit 1; }

# Without a library to load, the Python example says so in a sentence.
case "$*" in
  *speak.py*)
    status=0
    said=$(QZUSBD_LIBRARY=$tmp/no/libqzusbd.so "$@" "Say it." 2>&1) || status=$?
    [ "$status" = 1 ] || { echo "speak.py without a library: exit $status, expected 1: $said" >&2; exit 1; }
    grep -q '^speak.py: cannot load the qzusbd library' <<<"$said" && ! grep -q Traceback <<<"$said" ||
      { echo "speak.py without a library: $said" >&2; exit 1; }
    ;;
esac
