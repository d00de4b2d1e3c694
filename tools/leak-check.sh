#!/usr/bin/env bash
# Runs the sanitizer build of the trainer through a whole session that builds
# many models of growing and shrinking size with 'n', trains a little and
# saves; LeakSanitizer must report nothing and the run must end with status 0.
#   tools/leak-check.sh
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset asan >/dev/null
cmake --build --preset asan --target nettrainer example_waveforms

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp build/asan/bin/nettrainer build/asan/bin/*.wav "$work/"

# Keys and lines come from one stream: a waveform key, then the size line;
# '1' trains one epoch; 'n' starts over with a new waveform and size. After
# 's' the file name follows at once, and the exit path takes one more key.
sizes=(8x8x8 64x64 4 8x0x8 32x32x32x32 2 1x2x3x4x5x6x7x8 16 "")
script=""
for i in "${!sizes[@]}"; do
  [ "$i" -eq 0 ] || script+="n"
  script+="$((i % 8))${sizes[$i]}"$'\n'"1"
done
script+="s"$'leak-check.net\n'"x"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
printf '%s' "$script" | "$work/nettrainer" >"$work/output.txt" 2>"$work/errors.txt" || status=$?

built=$(grep -o 'Initialized random [0-9x]* model' "$work/output.txt" | wc -l)
if [ $status -ne 0 ] || grep -q 'Sanitizer' "$work/errors.txt" || [ ! -s "$work/leak-check.net" ] ||
   [ "$built" -ne ${#sizes[@]} ]; then
  echo "leak-check: the session failed (exit status $status)" >&2
  tail -n 40 "$work/output.txt" >&2
  cat "$work/errors.txt" >&2
  exit 1
fi
echo "leak-check: $built models built, one saved, no leaks"
