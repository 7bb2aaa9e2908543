# Debian packages the project needs, and a helper that installs the missing
# ones (one apt-get update, then apt-get install by name). Sourced by the
# README's two commands.
LATCHWISE_BUILD_PACKAGES=(
  cmake ninja-build g++ pkg-config git
  qt6-base-dev libgl-dev libasio-dev libsodium-dev libsqlite3-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
  fontconfig fonts-dejavu-core
)
LATCHWISE_RUN_PACKAGES=(xvfb xauth x11-utils imagemagick)
LATCHWISE_TEST_PACKAGES=(clang libclang-rt-14-dev clang-format sqlite3 xvfb xauth x11-utils xdotool)
# scripts/package (dpkg-shlibdeps computes the dependencies) and the package
# check in scripts/test (lintian; the installed window under Xvfb, driven by
# xdotool; passwd for the test users).
LATCHWISE_PACKAGE_PACKAGES=(dpkg-dev file lintian appstream xvfb xauth x11-utils xdotool imagemagick sqlite3 passwd adduser)

ensure_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$pkg")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    return 0
  fi
  echo "Installing: ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
  fi
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
}
