#!/usr/bin/env bash
# The module built with CPython's public API only (PARVEX_PUBLIC_API_ONLY:
# every internal in bindings/python/src/compat.hpp takes its fallback), put
# beside a copy of the package, and the Python suite run against it.
#
#   PARVEX_PUBLIC_API_BUILD  build folder (default build/public-api)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${PARVEX_PUBLIC_API_BUILD:-build/public-api}
py=$(python3 -c 'import sys; print(sys.executable)')

generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DPARVEX_PUBLIC_API_ONLY=ON \
  -DPython_EXECUTABLE="$py" >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target _parvex

source .ci/package.sh
stage_package "$build"
run() { PYTHONPATH="$PWD/$pkg" "$py" "$@"; }
check_loaded public-API run
run -m pytest -p no:cacheprovider -q "$@"
