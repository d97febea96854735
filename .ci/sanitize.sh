#!/usr/bin/env bash
# AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer over the
# core's native checks and over the whole pytest suite: the extension is
# built a second time with g++ and -DPARVEX_SANITIZE=ON, put beside a copy
# of the package, and the suite runs against it in an interpreter that has
# the ASan runtime preloaded and allocates with plain malloc, so that every
# Python object is checked too. Leaks are looked for when the interpreter
# exits. Any report fails the run.
#
# Built with clang and its runtime rather than GCC 12's: GCC 12's libasan
# takes no lock around fork(), so a pool worker forked while another thread
# of the suite held the allocator's lock waited for it forever; LLVM's
# runtime (since 18) holds its locks across fork.
#
#   PARVEX_SANITIZE_BUILD  build folder (default build/sanitize)
#   PARVEX_SANITIZE_CXX    clang++ to build with (default clang++-19)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${PARVEX_SANITIZE_BUILD:-build/sanitize}
# The interpreter itself, not a wrapper script that would run sanitized too.
py=$(python3 -c 'import sys; print(sys.executable)')

cxx=${PARVEX_SANITIZE_CXX:-clang++-19}
generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPARVEX_SANITIZE=ON -DPARVEX_BUILD_TESTS=ON -DPython_EXECUTABLE="$py" >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target _parvex parvex_core_test

asan_options=check_initialization_order=1:strict_init_order=1
export ASAN_OPTIONS=$asan_options:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

echo "native checks of the core under ASan and UBSan"
"$build/parvex_core_test"

source .ci/package.sh
stage_package "$build"

asan=$("$cxx" -print-file-name=libclang_rt.asan-x86_64.so)
# Reports name functions (and the suppressions below match them) only with
# the symbolizer of the same LLVM.
export ASAN_SYMBOLIZER_PATH=$("$cxx" -print-prog-name=llvm-symbolizer)
run() { LD_PRELOAD="$asan" PYTHONMALLOC=malloc PYTHONPATH="$PWD/$pkg" "$py" "$@"; }

# GnuPG's programs hang at start with the ASan runtime preloaded, and the
# suite (and parvex.gnupg inside it) starts them from a sanitized
# interpreter: on PATH they are shims that run them as themselves.
shims="$PWD/$build/unsanitized"
mkdir -p "$shims"
for tool in gpg gpgconf gpg-agent gpg-connect-agent; do
  real=$(command -v "$tool") || continue
  printf '#!/bin/sh\nunset LD_PRELOAD\nexec %s "$@"\n' "$real" >"$shims/$tool"
  chmod +x "$shims/$tool"
done
export PATH="$shims:$PATH"

# The suite must see this build, not an installed one.
check_loaded sanitized run

# Leaks at exit: the leak tests drive every entry point through every
# failure path thousands of times; anything they leave unreachable is
# reported when the interpreter ends. CPython's tracemalloc, which they use,
# leaves its table of tracebacks behind when it stops: that one is not ours.
cat >"$build/lsan.supp" <<'EOF'
leak:traceback_new
EOF
echo "leak tests under LeakSanitizer"
leak_tests() {
  LSAN_OPTIONS=suppressions="$PWD/$build/lsan.supp":print_suppressions=0 \
    run -m pytest -p no:cacheprovider -q tests/test_leaks.py 2>&1 | tee "$build/leaks.log"
}
# Now and then LeakSanitizer's own tracer dies at exit on this kind of
# virtual machine ("Tracer caught signal 11", then "LeakSanitizer has
# encountered a fatal error") before it has looked for anything: that, and
# only that, is run once more. A leak found fails the run at once.
if ! leak_tests; then
  if grep -q "LeakSanitizer has encountered a fatal error" "$build/leaks.log" &&
      ! grep -q "detected memory leaks" "$build/leaks.log"; then
    echo "LeakSanitizer itself failed, not the tests: once more"
    leak_tests
  else
    exit 1
  fi
fi

# The whole suite, without leak detection at exit: its tests also start
# shells and other interpreters (the command line, the benchmarks, mypy),
# which inherit the preloaded runtime and whose own leaks at exit (bash's,
# CPython's _json module's) would be reported as theirs. The leak tests ran
# above.
export ASAN_OPTIONS=$asan_options:detect_leaks=0
run -m pytest -p no:cacheprovider -q --durations=10 --ignore=tests/test_leaks.py "$@"
