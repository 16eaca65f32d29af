#!/usr/bin/env bash
# The Windows zip as an application author uses it: examples/speak.c is built
# for each architecture with the zip's header and linked against each of the
# zip's import libraries (MinGW's .dll.a with gcc; the MSVC-style .lib with
# clang and lld-link), then run under Wine beside the zip's DLL.
#
# The program is linked with one more file, made from the header, that calls
# nothing but refers to every function the header declares. Each case passes
# when the link succeeds, the program imports from qzusbd.dll exactly the
# names the DLL exports, and under Wine it starts (the loader resolved every
# import) and answers as speak does with no synthesizer attached.
#
# Before that, each architecture's DLL is checked to be stripped, with its
# debug information in qzusbd.dll.debug beside it, which the DLL names.
#
#   tests/win32/package_test.sh ZIP WINE32 WINE64
# Prints one line per case and ends with "package: N passed, M failed". An
# empty WINE32 (the kernel cannot run 32-bit programs) links the x86 cases
# and checks their imports, but does not run them: the line then ends with
# ", K not run".
set -uo pipefail

zip=$1 wine32=$2 wine64=$3
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/qzusbd-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
not_run=0
pass() { echo "package: $*"; passed=$((passed + 1)); }
fail() { echo "package: $*"; failed=$((failed + 1)); }

(cd "$work" && cmake -E tar xf "$zip") || { echo "package: cannot unpack $zip"; echo "package: 0 passed, 1 failed"; exit 1; }
pkg=$(echo "$work"/qzusbd-*)

# Every function the header declares, referred to from one function.
{
  echo '#include <qzusbd.h>'
  echo 'void* qz_every_import[16];'
  echo 'void qz_refer_to_every_import(void) {'
  echo '  int i = 0;'
  sed -nE 's/^QZUSBD_API .* QZUSBD_CALL ([A-Za-z_][A-Za-z0-9_]*)\(.*/  qz_every_import[i++] = (void*)\&\1;/p' "$pkg/include/qzusbd.h"
  echo '}'
} >"$work/every_import.c"

# Names in the "[Ordinal/Name Pointer] Table" of a DLL, or names imported
# from qzusbd.dll by a program, one a line, sorted.
names() { x86_64-w64-mingw32-objdump -p "$2" | sed -nE "$1" | sort; }
exports_of() { names '/^\[Ordinal\/Name Pointer\] Table/,/^$/ s/^\s*\[ *[0-9]+\] ([A-Za-z0-9_@]+)$/\1/p' "$1"; }
imports_of() { names '/DLL Name: qzusbd\.dll/,/^$/ s/^\s*[0-9a-f]+\s+[0-9]+\s+([A-Za-z0-9_@]+)$/\1/p' "$1"; }

# build ARCH KIND OUT: speak.exe linked against the zip's import library.
build() {
  local arch=$1 kind=$2 out=$3 triple machine crt
  case $arch in
    x86) triple=i686-w64-mingw32 machine=x86 ;;
    x64) triple=x86_64-w64-mingw32 machine=x64 ;;
  esac
  local objs=("$root/examples/speak.c" "$work/every_import.c")
  if [ "$kind" = mingw ]; then
    "$(command -v "$triple-gcc-win32" || echo "$triple-gcc")" -Wall -I "$pkg/include" "${objs[@]}" "$pkg/$arch/libqzusbd.dll.a" -o "$out/speak.exe"
    return
  fi
  # clang compiles against the MinGW headers; lld-link links with MinGW's C
  # runtime start-up (there is no MSVC runtime on this machine), but in its
  # own MSVC mode, so the import library alone must supply the decorated
  # names.
  local o
  for o in "${objs[@]}"; do
    clang --target="$triple" -Wall -I "$pkg/include" -c "$o" -o "$out/$(basename "$o" .c).obj" || return 1
  done
  crt=/usr/$triple/lib
  local imagebase=__ImageBase extra=()
  [ "$arch" = x86 ] && imagebase=___ImageBase extra=(-safeseh:no)
  lld-link -nologo -out:"$out/speak.exe" -machine:$machine -subsystem:console -entry:mainCRTStartup \
    -opt:noref -alternatename:__image_base__=$imagebase "${extra[@]}" \
    "$crt/crt2.o" "$crt/crtbegin.o" "$out/speak.obj" "$out/every_import.obj" "$pkg/$arch/qzusbd.lib" \
    "$crt/libmingw32.a" "$("$triple-gcc" -print-libgcc-file-name)" "$crt/libmingwex.a" "$crt/libmsvcrt.a" \
    "$crt/libkernel32.a" "$crt/crtend.o"
}

for arch in x86 x64; do
  wine=$wine64
  [ "$arch" = x86 ] && wine=$wine32
  dll=$pkg/$arch/qzusbd.dll
  sections=$(x86_64-w64-mingw32-objdump -h "$dll" | awk '{print $2}')
  if grep -q '^\.debug_' <<<"$sections" || ! grep -qx '\.gnu_debuglink' <<<"$sections" ||
     ! x86_64-w64-mingw32-objdump -s -j .gnu_debuglink "$dll" | grep -q 'qzusbd\.dll\.debug' ||
     ! x86_64-w64-mingw32-objdump -h "$dll.debug" 2>/dev/null | grep -q ' \.debug_info '; then
    fail "$arch: qzusbd.dll is not stripped with its debug information in qzusbd.dll.debug"
  else
    pass "$arch: qzusbd.dll stripped ($(stat -c %s "$dll") bytes), debug information in qzusbd.dll.debug"
  fi
  for kind in mingw msvc; do
    name="$arch $kind"
    [ "$kind" = mingw ] && name+=" (gcc, libqzusbd.dll.a)" || name+=" (clang + lld-link, qzusbd.lib)"
    out=$work/$arch-$kind
    mkdir -p "$out"
    if ! build "$arch" "$kind" "$out" >"$out/link.log" 2>&1; then
      fail "$name: link failed:"; sed 's/^/  /' "$out/link.log"; continue
    fi
    if [ "$(imports_of "$out/speak.exe")" != "$(exports_of "$dll")" ]; then
      fail "$name: imports [$(imports_of "$out/speak.exe" | xargs)], the DLL exports [$(exports_of "$dll" | xargs)]"
      continue
    fi
    if [ -z "$wine" ]; then
      echo "package: $name: linked, imports all $(exports_of "$dll" | wc -l) exports; not run: this kernel cannot run 32-bit programs"
      not_run=$((not_run + 1))
      continue
    fi
    cp "$dll" "$out/"
    (cd "$out" && timeout 60 "$wine" speak.exe "Hello." >run.out 2>run.err)
    rc=$?
    if [ "$rc" -ne 1 ] || ! grep -q "speak: no synthesizer is connected" "$out/run.err"; then
      fail "$name: under Wine exit $rc (1 expected, no synthesizer):"; sed 's/^/  /' "$out/run.err" "$out/run.out"
      continue
    fi
    pass "$name: linked, imports all $(exports_of "$dll" | wc -l) exports, ran"
  done
done
summary="package: $passed passed, $failed failed"
[ "$not_run" -eq 0 ] || summary+=", $not_run not run"
echo "$summary"
[ "$failed" -eq 0 ]
