#!/usr/bin/env bash
# Installs what building and testing kavtel needs on Debian 12, and nothing
# that is already there. Runs as root (CI) or through sudo.
# --native: only what the native build needs (scripts/demo.sh).
set -euo pipefail
native_only=
if [ "${1:-}" = "--native" ]; then native_only=1; fi

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

packages=(
  build-essential cmake g++ clang
  googletest libgtest-dev libbenchmark-dev
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  wine wine32:i386 wine64
  gcc-multilib socat libclang-rt-14-dev python3
  locales
  lld llvm pkgconf librsvg2-bin strace dpkg-dev
  python3-pytest python3-venv python3-pip python3-setuptools python3-wheel
  # kavtel-bridge and its tests against a real broker
  libmosquitto-dev mosquitto mosquitto-clients nlohmann-json3-dev openssl python3-jsonschema python3-paho-mqtt
  # the fleet panel: node for its mqtt bundle; its tests in headless Chromium
  nodejs chromium chromium-driver python3-selenium
  # the .NET binding: Mono's compiler and NUnit with its console runner
  mono-devel libnunit-cil-dev nunit-console
)
if [ -n "$native_only" ]; then
  packages=(build-essential cmake g++ pkgconf libmosquitto-dev nlohmann-json3-dev)
fi

if [ -z "$native_only" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

# Debian's nodejs comes without npm; a nodejs that brings its own npm
# conflicts with Debian's npm package.
if [ -z "$native_only" ] && ! command -v npm >/dev/null; then
  missing+=(npm)
fi

if [ ${#missing[@]} -gt 0 ] || [ -n "${need_update:-}" ]; then
  echo "setup: installing ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
if [ -n "$native_only" ]; then
  echo "setup: native build packages present"
  exit 0
fi
# The tests of a host whose locale writes a decimal comma need one such locale.
if ! locale -a 2>/dev/null | grep -qix 'de_DE.utf8'; then
  echo "setup: generating the de_DE.UTF-8 locale"
  as_root localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
# The fleet panel's browser bundle of the mqtt package, as its lockfile pins
# it (the build copies node_modules/mqtt/dist/mqtt.min.js next to the page).
panel="$(cd "$(dirname "$0")/.." && pwd)/tools/bridge/panel"
if [ ! -f "$panel/node_modules/mqtt/dist/mqtt.min.js" ] ||
   [ "$panel/package-lock.json" -nt "$panel/node_modules/.package-lock.json" ]; then
  echo "setup: installing the fleet panel's npm packages"
  (cd "$panel" && npm ci --no-audit --no-fund --loglevel=error)
fi
echo "setup: all build and test packages present"
