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
