#!/usr/bin/env bash
# The native checks of the core, with the machine's compiler, as CTest runs
# them: each vector path the processor has against the portable one, and
# the whole of them again with PARVEX_PORTABLE=1.
#
#   PARVEX_NATIVE_BUILD  build folder (default build/native)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${PARVEX_NATIVE_BUILD:-build/native}
generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DPARVEX_BUILD_PYTHON=OFF \
  -DPARVEX_BUILD_TESTS=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target parvex_core_test
ctest --test-dir "$build" --output-on-failure
