#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
#   tools/fuzz.sh [SECONDS]     (default 60 per target)
# Exits non-zero if any target finds a crash, a leak, undefined behaviour or
# a broken invariant; the input that did it is left in build/fuzz/findings/.
# Needs Debian's clang and libclang-rt-14-dev (libFuzzer and the sanitizers).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
case "$seconds" in
  ''|*[!0-9]*) echo "usage: tools/fuzz.sh [SECONDS]" >&2; exit 2 ;;
esac

build=build/fuzz
cmake -S fuzz -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="${FUZZ_CXX:-clang++}" >/dev/null
cmake --build "$build"

# Seeds are regenerated every run; the corpus the fuzzer grows stays in the
# build tree between runs, so later runs start where earlier ones stopped.
rm -rf "$build/seeds"
mkdir -p "$build/seeds"/{wav_reader,size_line,model_file} "$build/findings"
"$build/make_fuzz_seeds" "$build/seeds"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

failed=()
for target in wav_reader size_line model_file; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  max_len=4096
  [ "$target" = size_line ] && max_len=78
  echo "== fuzz_$target for ${seconds}s"
  # -jobs would take more than the one core a CI machine can spare.
  if ! "$build/fuzz_$target" "$corpus" "$build/seeds/$target" \
      -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$build/findings/${target}-" \
      2> "$build/fuzz_$target.log"; then
    failed+=("$target")
    tail -n 60 "$build/fuzz_$target.log" >&2
  fi
  grep -E '^stat::number_of_executed_units|^Done ' "$build/fuzz_$target.log" || true
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in: ${failed[*]} (inputs in $build/findings/)" >&2
  exit 1
fi
echo "fuzz: no findings"
