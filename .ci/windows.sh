#!/usr/bin/env bash
# Windows job: cross-builds the 64-bit and the 32-bit executable with
# MinGW-w64 and runs the whole test suite of the 64-bit build under Wine.
#
#   bash .ci/windows.sh              install what is missing, build both, test
#   bash .ci/windows.sh test DIR     only run the tests of the 64-bit build DIR
set -euo pipefail
cd "$(dirname "$0")/.."

WINE=/usr/lib/wine/wine64

install_missing() {
  local need=()
  command -v cmake >/dev/null || need+=(cmake)
  command -v make >/dev/null || need+=(make)
  command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
  command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686-posix)
  [ -x "$WINE" ] || need+=(wine64)
  [ -f /usr/src/googletest/googletest/CMakeLists.txt ] || need+=(googletest)
  if [ ${#need[@]} -gt 0 ]; then
    echo "installing: ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${need[@]}" >/dev/null
  fi
}

# One fresh Wine prefix per run. Without a debugger a crashing test exits
# non-zero instead of sometimes 0; without Mono and Gecko the prefix is made
# in seconds and nothing asks to download them.
start_wine() {
  WINE_DIR=$(mktemp -d /tmp/quorlith-wine.XXXXXX)
  export WINEPREFIX="$WINE_DIR/prefix"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="winedbg.exe=d;winemenubuilder.exe=d;mscoree=d;mshtml=d"
  trap stop_wine EXIT
  # The server and Wine's own helper processes must not inherit ctest's
  # pipes, or ctest waits seconds for every test until they go away: start
  # them here, with no streams, and keep them alive with an idle process.
  mkdir "$WINEPREFIX"
  wineserver -p </dev/null >/dev/null 2>&1
  wineboot -i </dev/null >/dev/null 2>&1
  printf '#include <windows.h>\nint main(void) { for (;;) Sleep(INFINITE); }\n' |
    x86_64-w64-mingw32-gcc-posix -x c - -o "$WINE_DIR/idle.exe"
  "$WINE" "$WINE_DIR/idle.exe" </dev/null >/dev/null 2>&1 &
}

stop_wine() {
  wineserver -k || true
  wait || true
  rm -rf "$WINE_DIR"
}

run_tests() {
  (cd "$1" && ctest --output-on-failure -j 2)
}

if [ "${1:-}" = test ]; then
  start_wine
  run_tests "${2:?build directory}"
  exit
fi

started=$SECONDS
install_missing
echo "packages ready after $((SECONDS - started)) s"
start_wine

echo "== 64-bit Windows build"
make --no-print-directory windows CMAKE_FLAGS="-DQUORLITH_WERROR=ON"
echo "== 32-bit Windows build (compiled only: running it needs a 32-bit Wine)"
make --no-print-directory windows WIN_BUILD=build-win32 WIN_TOOLCHAIN=cmake/toolchain-mingw32.cmake \
  CMAKE_FLAGS="-DQUORLITH_WERROR=ON"
echo "== tests under Wine"
run_tests build-win
echo "Windows job took $((SECONDS - started)) s"
