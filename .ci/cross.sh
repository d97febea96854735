#!/usr/bin/env bash
# The core on other CPUs: cross-compiles it, its native checks and the fuzz
# harnesses (each with a main() that replays files, fuzz/replay.cpp) with
# Debian's cross compilers, under UndefinedBehaviorSanitizer, and runs them
# under qemu-user: s390x is big-endian, aarch64 has other vector units.
# The harnesses replay the fuzzers' seed corpus, the reproducers of past
# faults and, where .ci/fuzz.sh ran before, the corpus it grew, through the
# readers and the writers.
#
#   PARVEX_CROSS_ARCHES  CPUs to check (default "s390x aarch64")
#   PARVEX_CROSS_BUILD   build folder (default build/cross)
#   PARVEX_FUZZ_BUILD    the fuzzers' build folder (default build/fuzz)
# Needs g++-<arch>-linux-gnu and qemu-user (Debian packages).
set -euo pipefail
cd "$(dirname "$0")/.."

read -r -a arches <<<"${PARVEX_CROSS_ARCHES:-s390x aarch64}"
build=${PARVEX_CROSS_BUILD:-build/cross}
grown=${PARVEX_FUZZ_BUILD:-build/fuzz}/corpus

generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi
rm -rf "$build/seeds"
python3 fuzz/make_corpus.py "$build/seeds"
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

for arch in "${arches[@]}"; do
  triple=$arch-linux-gnu
  dir=$build/$arch
  ubsan="-fsanitize=undefined -fno-sanitize-recover=undefined"
  cmake -S fuzz -B "$dir" "${generator[@]}" -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="$arch" \
    -DCMAKE_CXX_COMPILER="$triple-g++" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS="$ubsan" \
    -DCMAKE_EXE_LINKER_FLAGS="$ubsan" -DPARVEX_FUZZ_REPLAY=ON -DPARVEX_BUILD_TESTS=ON >/dev/null
  cmake --build "$dir" --parallel "$(nproc)" >/dev/null
  export QEMU_LD_PREFIX=/usr/$triple
  echo "$arch: native checks of the core"
  "qemu-$arch" "$dir/parvex/parvex_core_test"
  for bin in "$dir"/fuzz_*; do
    [ -x "$bin" ] || continue
    h=${bin##*/fuzz_}
    inputs=("$build/seeds/$h")
    for d in "tests/regressions/$h" "$grown/$h" "$grown/$h.empty"; do
      if [ -d "$d" ]; then inputs+=("$d"); fi
    done
    if ! "qemu-$arch" "$bin" "${inputs[@]}" >"$dir/replay_$h.log" 2>&1; then
      echo "$arch: fuzz_$h FAILED on a replayed input; its output:" >&2
      tail -n 40 "$dir/replay_$h.log" >&2
      exit 1
    fi
    echo "$arch: fuzz_$h: $(grep 'inputs replayed' "$dir/replay_$h.log")"
  done
done
