#!/usr/bin/env bash
# scripts/install-deps.sh [--tests | --ci]
# Installs the Debian 12 packages that are missing, in three sets:
#   (none)   building and running `teds`: compilers, CMake, Ninja, the two
#            header-only libraries the tool and the simulated device use, and
#            cpp-httplib with pkg-config for `teds serve`;
#   --tests  also what the test suite needs: GoogleTest, python3 with pytest
#            and jsonschema for the Python package (and venv, setuptools and
#            wheel to install it with pip, offline), and Chromium with its
#            driver and Selenium for the browser test of `teds serve`;
#   --ci     also what CI runs beyond that: benchmarks, the mingw-w64 cross
#            compiler and wine, clang with libFuzzer, valgrind, llvm's
#            llvm-dlltool and lld's lld-link for the MSVC import library and
#            its check, mono-devel for the C# binding, and cpp-httplib's
#            single header for the Windows build of `teds serve`
#            (scripts/httplib-single-header.sh, with dpkg-dev).
# Does nothing when everything is already there.
set -euo pipefail

level=${1:-}
case "$level" in
  ""|--tests|--ci) ;;
  *) echo "usage: $0 [--tests | --ci]" >&2; exit 2 ;;
esac

packages=(cmake ninja-build gcc g++ nlohmann-json3-dev libcli11-dev libcpp-httplib-dev pkg-config)
if [ "$level" = --tests ] || [ "$level" = --ci ]; then
  packages+=(libgtest-dev libgmock-dev googletest
             python3 python3-pytest python3-jsonschema python3-venv python3-setuptools
             python3-wheel chromium chromium-driver python3-selenium)
fi
if [ "$level" = --ci ]; then
  packages+=(libbenchmark-dev g++-mingw-w64-x86-64-posix wine64
             clang libclang-rt-14-dev valgrind owserver ow-shell
             llvm lld mono-devel dpkg-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
if [ "$level" = --ci ]; then
  "$(dirname "$0")/httplib-single-header.sh"
fi
