#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer), replays the reproducers of past faults, then
# fuzzes each harness for a bounded time from the seed corpus. Any crash,
# leak, timeout or broken invariant fails the run and prints the input that
# caused it, to be kept under tests/regressions/<harness>/.
#
#   PARVEX_FUZZ_SECONDS  seconds per harness (default 60)
#   PARVEX_FUZZ_BUILD    build folder (default build/fuzz)
#   PARVEX_FUZZ_CXX      clang++ to build with (default clang++-19)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${PARVEX_FUZZ_SECONDS:-60}
build=${PARVEX_FUZZ_BUILD:-build/fuzz}
cxx=${PARVEX_FUZZ_CXX:-clang++-19}
harnesses=(parse parse_prefix base64_decode base64_encode writers)

generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi
cmake -S fuzz -B "$build" "${generator[@]}" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --parallel "$(nproc)"
rm -rf "$build/seeds"
python3 fuzz/make_corpus.py "$build/seeds"

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

# Flags of one harness beyond the common ones.
harness_flags() {
  case "$1" in
    parse|parse_prefix) echo -dict=fuzz/sexp.dict ;;
    base64_decode) echo -dict=fuzz/base64.dict ;;
    # A 300000-level value takes seconds to write and read back: favour the
    # quick programs so that the rest of the writers gets fuzzed too.
    writers) echo -entropic_scale_per_exec_time=1 ;;
  esac
}

report_failure() {
  local h=$1 log=$2
  echo "fuzz_$h FAILED; the end of its output:" >&2
  tail -n 60 "$log" >&2
  for a in "$build/artifacts/$h"/*; do
    [ -e "$a" ] || continue
    echo "reproducer $a (base-64, for tests/regressions/$h/):" >&2
    base64 -w0 "$a" >&2
    echo >&2
  done
  exit 1
}

summary=()
for h in "${harnesses[@]}"; do
  bin="$build/fuzz_$h"
  log="$build/fuzz_$h.log"
  rm -rf "$build/corpus/$h" "$build/artifacts/$h"
  mkdir -p "$build/corpus/$h" "$build/artifacts/$h"
  # Past faults first: each file is run once.
  if compgen -G "tests/regressions/$h/*" >/dev/null; then
    "$bin" tests/regressions/"$h"/* >"$log" 2>&1 || report_failure "$h" "$log"
  fi
  read -r -a extra <<<"$(harness_flags "$h")"
  flags=(-max_total_time="$seconds" -timeout=60 -print_final_stats=1
         -artifact_prefix="$build/artifacts/$h/" "${extra[@]}")
  echo "fuzzing $h for ${seconds}s"
  "$bin" "${flags[@]}" "$build/corpus/$h" "$build/seeds/$h" >"$log" 2>&1 || report_failure "$h" "$log"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  # libFuzzer's closing status line: coverage, and the corpus as
  # inputs/octets after it dropped the ones that add nothing.
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1)
  cov=$(sed -n 's/.* cov: \([0-9]*\) .*/\1/p' <<<"$done_line")
  corp=$(sed -n 's/.* corp: \([^ ]*\) .*/\1/p' <<<"$done_line")
  line=$(printf '%-14s %10s executions  corpus %-12s coverage %s' "$h" "$runs" "$corp" "$cov")
  deep=$(sed -n 's/^values 300000 levels deep: //p' "$log")
  if [ -n "$deep" ]; then line+=", $deep of them 300000 levels deep"; fi
  summary+=("$line")
done

echo "fuzzing summary (${seconds}s per harness):"
printf '  %s\n' "${summary[@]}"
