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

# A GBK locale lets the code-page tests exercise a real conversion.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN.gbk$'; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  if [ -f /etc/locale.gen ]; then
    grep -q '^zh_CN.GBK GBK' /etc/locale.gen || echo 'zh_CN.GBK GBK' | $SUDO tee -a /etc/locale.gen >/dev/null
    grep -q '^en_US.UTF-8 UTF-8' /etc/locale.gen || echo 'en_US.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
    $SUDO locale-gen >/dev/null 2>&1 || true
  fi
fi
echo "setup: all packages present"
