#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the stand-ins and the
# screenshot script need. Safe to run again: packages already present are skipped.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  qtbase5-dev qtbase5-dev-tools qt5-qmake libqt5svg5-dev
  libprotobuf-dev protobuf-compiler
  libcurl4-openssl-dev libssl-dev openssl ca-certificates
  libtinyxml-dev libjsoncpp-dev libcpp-httplib-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev
  xvfb xauth x11-apps x11-utils xdotool imagemagick fonts-wqy-zenhei fonts-dejavu-core
  fonts-arphic-uming fonts-wqy-microhei
  locales xdg-utils
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The code-page tests convert through a real GBK locale: without it they
# would prove nothing, so a locale that cannot be made stops the setup.
has_gbk() { grep -qi '^zh_CN\.gbk$' <<<"$(locale -a 2>/dev/null)"; }
if ! has_gbk; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  [ -f /etc/locale.gen ] || { echo "setup: /etc/locale.gen is missing (package locales)" >&2; exit 1; }
  grep -q '^zh_CN.GBK GBK' /etc/locale.gen || echo 'zh_CN.GBK GBK' | $SUDO tee -a /etc/locale.gen >/dev/null
  grep -q '^en_US.UTF-8 UTF-8' /etc/locale.gen || echo 'en_US.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen >/dev/null || { echo "setup: locale-gen failed" >&2; exit 1; }
fi
if ! has_gbk; then
  echo "setup: the locale zh_CN.GBK is still missing after locale-gen" >&2
  exit 1
fi
echo "setup: all packages present"
