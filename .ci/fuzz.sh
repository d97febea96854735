#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer), replays the reproducers of past faults, then
# fuzzes each harness for a bounded time: half of it from an empty corpus,
# where the dictionary alone steers (the way past faults were found
# quickest), half from the seed corpus. Any crash, leak, timeout or broken
# invariant fails the run and prints the input that caused it, to be kept
# under tests/regressions/<harness>/.
#
#   PARVEX_FUZZ_SECONDS  seconds per harness, both runs (default 60)
#   PARVEX_FUZZ_BUILD    build folder (default build/fuzz)
#   PARVEX_FUZZ_CXX      clang++ to build with (default clang++-19)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${PARVEX_FUZZ_SECONDS:-60}
build=${PARVEX_FUZZ_BUILD:-build/fuzz}
cxx=${PARVEX_FUZZ_CXX:-clang++-19}

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
    base16_decode) echo -dict=fuzz/base16.dict ;;
    base64_decode) echo -dict=fuzz/base64.dict ;;
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

# One run of harness $1 for $2 seconds, labelled $3, into the corpus folder
# $4 with the seeds of the folders after it; appends its figures to `line`.
fuzz_run() {
  local h=$1 secs=$2 label=$3 corpus=$4 log="$build/fuzz_${1}_$3.log"
  shift 4
  local extra flags
  read -r -a extra <<<"$(harness_flags "$h")"
  flags=(-max_total_time="$secs" -timeout=60 -print_final_stats=1
         -artifact_prefix="$build/artifacts/$h/" "${extra[@]}")
  rm -rf "$corpus"
  mkdir -p "$corpus"
  "$build/fuzz_$h" "${flags[@]}" "$corpus" "$@" >"$log" 2>&1 || report_failure "$h" "$log"
  local runs done_line cov corp
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  # libFuzzer's closing status line: coverage, and the corpus as
  # inputs/octets after it dropped the ones that add nothing.
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1)
  cov=$(sed -n 's/.* cov: \([0-9]*\) .*/\1/p' <<<"$done_line")
  corp=$(sed -n 's/.* corp: \([^ ]*\) .*/\1/p' <<<"$done_line")
  line+=$(printf ' | %-5s %9s runs, corpus %-11s cov %-4s' "$label" "$runs" "$corp" "$cov")
  total=$((total + runs))
}

summary=()
for bin in "$build"/fuzz_*; do
  [ -x "$bin" ] || continue
  h=${bin##*/fuzz_}
  rm -rf "$build/artifacts/$h"
  mkdir -p "$build/artifacts/$h"
  # Past faults first: each file is run once.
  if compgen -G "tests/regressions/$h/*" >/dev/null; then
    "$bin" tests/regressions/"$h"/* >"$build/fuzz_$h.log" 2>&1 || report_failure "$h" "$build/fuzz_$h.log"
  fi
  echo "fuzzing $h for ${seconds}s"
  line=$(printf '%-14s' "$h")
  total=0
  fuzz_run "$h" $((seconds / 2)) empty "$build/corpus/$h.empty"
  fuzz_run "$h" $((seconds - seconds / 2)) seeds "$build/corpus/$h" "$build/seeds/$h"
  summary+=("$line | $(printf '%9s executions in all' "$total")")
done

echo "fuzzing summary (${seconds}s per harness: from an empty corpus, then from the seeds):"
printf '  %s\n' "${summary[@]}"
