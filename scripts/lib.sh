# Helpers shared by the scripts.

# Installs the Debian packages that are missing (as root), or says which to
# install and stops. Prints what it asks for and every package apt-get sets
# up, dependencies included.
need_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Please install: sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  local log
  log=$(mktemp)
  if ! { apt-get update -qq && apt-get install -y -q --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    rm -f "$log"
    echo "apt-get install failed" >&2
    exit 1
  fi
  sed -n -E 's/^Setting up ([^ ]+) \(([^)]*)\).*/  installed \1 \2/p' "$log"
  rm -f "$log"
}

# The clang runtime (sanitizers, libFuzzer) of the clang that is installed.
clang_runtime_package() {
  echo "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev"
}

# tiny_elf FILE MACHINE: writes a 91-byte 32-bit ELF program that exits with
# status 0: i386 code, marked for the ELF machine number MACHINE (two hex
# digits: 03 is i386, 00 no machine at all, which every kernel refuses).
tiny_elf() {
  local hex="7f 45 4c 46 01 01 01 00 00 00 00 00 00 00 00 00
    02 00 $2 00 01 00 00 00 54 80 04 08 34 00 00 00
    00 00 00 00 00 00 00 00 34 00 20 00 01 00 00 00 00 00 00 00
    01 00 00 00 00 00 00 00 00 80 04 08 00 80 04 08
    5b 00 00 00 5b 00 00 00 05 00 00 00 00 10 00 00
    31 db 31 c0 40 cd 80"  # header, one loaded segment; xor ebx, xor eax, inc eax, int 0x80: exit(0)
  printf "$(printf '\\x%s' $hex)" >"$1" && chmod +x "$1"
}

# runs_here FILE: false only when the kernel refuses to run FILE for its
# format (ENOEXEC, "Exec format error"). A program that runs, whatever its
# status, or that cannot be started for any other reason counts as runnable.
runs_here() {
  local err rc=0
  err=$(LC_ALL=C bash -c 'exec "$0"' "$1" 2>&1 >/dev/null) || rc=$?
  [ "$rc" -ne 126 ] || ! grep -q 'Exec format error' <<<"$err"
}
