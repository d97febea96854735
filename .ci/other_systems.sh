#!/usr/bin/env bash
# The core on other systems, built by zig's clang with its native checks:
# for Windows x86-64 (run under wine) and for macOS x86-64 and arm64 (built
# only: nothing here can run them). The Python module is not built for
# either: neither system's CPython (its headers, and python3.lib to link
# against on Windows) can be had here.
#
#   PARVEX_OTHER_BUILD  build folder (default build/other)
# Needs wine and wine64 (Debian).
set -euo pipefail
cd "$(dirname "$0")/.."

build=$PWD/${PARVEX_OTHER_BUILD:-build/other}
source .ci/zig.sh

kind() {  # what the header of executable $1 says it is
  python3 - "$1" <<'EOF'
import struct, sys
head = open(sys.argv[1], "rb").read(4096)
if head[:2] == b"MZ":
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    machine = struct.unpack_from("<H", head, pe + 4)[0]
    print("PE,", {0x8664: "x86-64", 0xAA64: "arm64"}.get(machine, hex(machine)))
elif head[:4] == b"\xcf\xfa\xed\xfe":
    cpu = struct.unpack_from("<I", head, 4)[0]
    print("Mach-O 64,", {0x01000007: "x86-64", 0x0100000C: "arm64"}.get(cpu, hex(cpu)))
else:
    sys.exit(f"{sys.argv[1]}: neither PE nor Mach-O")
EOF
}

generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi
# TARGET SYSTEM PROCESSOR, the baseline CPU of each.
for target in "x86_64-windows-gnu Windows AMD64" "x86_64-macos Darwin x86_64" "aarch64-macos Darwin arm64"; do
  read -r triple system processor <<<"$target"
  start=$SECONDS
  zig_toolchain "$build/bin" "$triple" "$system" "$processor" -mcpu=baseline
  cmake -S . -B "$build/$triple" "${generator[@]}" -DCMAKE_TOOLCHAIN_FILE="$build/bin/$triple.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DPARVEX_BUILD_PYTHON=OFF -DPARVEX_BUILD_TESTS=ON >"$build/$triple.log" 2>&1 ||
    { tail -n 30 "$build/$triple.log"; exit 1; }
  cmake --build "$build/$triple" --parallel "$(nproc)" >>"$build/$triple.log" 2>&1 ||
    { grep -E -B2 -A6 'error|warning' "$build/$triple.log" | head -n 60; exit 1; }
  if grep -q 'warning:' "$build/$triple.log"; then
    grep -A6 'warning:' "$build/$triple.log" | head -n 40
    echo "$triple: the build warns" >&2
    exit 1
  fi
  echo "$triple: built the core and its checks ($((SECONDS - start)) s): $(kind "$build/$triple"/parvex_core_test*)"
done

# wine keeps its prefix (a Windows folder tree, made on first use in some
# 20 s) with the other kept tools.
export WINEPREFIX=$ci_cache/wine WINEDEBUG=-all
start=$SECONDS
out=$(wine "$build/x86_64-windows-gnu/parvex_core_test.exe" 2>"$build/wine.log") ||
  { tail -n 20 "$build/wine.log"; exit 1; }
echo "x86_64-windows-gnu, under $(wine --version): $out ($((SECONDS - start)) s)"
[ "$(tr -d '\r' <<<"$out")" = "core checks passed" ]
