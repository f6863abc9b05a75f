# Shared by the scripts: where things are, and how missing Debian packages are found.
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="$(nproc 2>/dev/null || echo 2)"

apt_updated=""

# What any build of demstitch needs: the compiler and build tools, libpng and libtiff (the
# preview), and the tile compressors of the GeoTIFF result (zlib everywhere, libdeflate and
# zstd where there are).
build_packages=(cmake g++ make libpng-dev libtiff-dev zlib1g-dev libdeflate-dev libzstd-dev libisal-dev)

# have_packages PKG...: true when every package is installed.
have_packages() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || return 1
  done
}

# need_packages PKG...: installs what is missing where it can (root with apt-get), or says
# what is missing and how to get it, and fails.
need_packages() {
  local missing=() p
  command -v dpkg-query >/dev/null 2>&1 || { echo "note: not a Debian system; assuming $* are present" >&2; return 0; }
  for p in "$@"; do have_packages "$p" || missing+=("$p"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "installing ${missing[*]}" >&2
    if [ -z "$apt_updated" ]; then
      apt-get update -q >/dev/null 2>&1 || true
      apt_updated=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null 2>&1 \
      && have_packages "${missing[@]}" && return 0
  fi
  echo "missing packages: ${missing[*]}" >&2
  echo "install them with: sudo apt-get install ${missing[*]}" >&2
  return 1
}

# build DIR [CMAKE ARGS...]: configures (once) and builds.
build() {
  local dir="$1"; shift
  cmake -S "$root" -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j "$jobs" >/dev/null
}
