#!/usr/bin/env bash
# Runs one fuzz target for a while:
#
#   fuzz/run_campaign.sh TARGET SECONDS [PROCESSES]
#
# TARGET is dlf, fst, unpack or pack. Builds the targets in build-fuzz (or
# $FUZZ_BUILD) with clang, regenerates the seed corpus, and fuzzes from the
# seeds plus the corpus kept in $FUZZ_BUILD/fuzz-corpus/TARGET, which grows
# from campaign to campaign (FUZZ_CORPUS names another directory). An input
# that fails is saved in $FUZZ_BUILD/fuzz-findings/TARGET and the script exits
# non-zero. PROCESSES > 1 runs that many fuzzing processes (libFuzzer's -fork
# mode). FUZZ_NO_BUILD=1 skips the build.
set -euo pipefail

usage() {
  echo "usage: $0 dlf|fst|unpack|pack SECONDS [PROCESSES]" >&2
  exit 2
}

# All in one function, read whole before it runs: editing this file during a
# long campaign cannot change what the campaign does next.
main() {
  cd "$(dirname "$0")/.."
  [ $# -ge 2 ] || usage
  local target=${1#fuzz_} seconds=$2 processes=${3:-1} max_len
  case $target in
    dlf) max_len=8192 ;;
    fst) max_len=16384 ;;
    unpack) max_len=32768 ;;
    pack) max_len=8192 ;;
    *) usage ;;
  esac

  local build=${FUZZ_BUILD:-build-fuzz}
  if [ -z "${FUZZ_NO_BUILD:-}" ]; then
    CC=clang CXX=clang++ cmake -S . -B "$build" -DQUORLITH_FUZZ=ON -DQUORLITH_TESTS=OFF \
      -DQUORLITH_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" --target quorlith_fuzz -j2 >/dev/null
  fi

  # The targets write and remove files for every input: keep them in memory.
  if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
  fi

  # Seeds of this run only: campaigns of different targets may run at once.
  seeds=$(mktemp -d "${TMPDIR:-/tmp}/quorlith-seeds.XXXXXX")
  trap 'rm -rf "$seeds"' EXIT
  "$build/fuzz/quorlith_fuzz_seeds" "$seeds"
  local corpus=${FUZZ_CORPUS:-$build/fuzz-corpus/$target}
  local findings=$build/fuzz-findings/$target
  mkdir -p "$corpus" "$findings"

  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
  local args=(
    -max_total_time="$seconds"
    -max_len="$max_len"
    -timeout=10
    -rss_limit_mb=2048
    -dict="fuzz/$target.dict"
    -artifact_prefix="$findings/"
    -print_final_stats=1
  )
  if [ "$processes" -gt 1 ]; then
    args+=(-fork="$processes")
  fi
  echo "fuzz_$target: ${seconds}s, $processes process(es), corpus $corpus, findings $findings" >&2
  "$build/fuzz/fuzz_$target" "${args[@]}" "$corpus" "$seeds/$target"
}

main "$@"; exit  # on one line: nothing after it is read, even if the file changed
