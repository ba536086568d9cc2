#!/usr/bin/env bash
# Kills conversions of a large picture at random moments and counts what they
# leave behind, then runs the program with a reader that stops after one line.
#   bash bench/survival.sh [RUNS] [SIZE]     (defaults: 200 runs, 16384)
# Every other run starts with an old output file in place; afterwards the
# folder must hold the input and either the old output or the whole new
# bitmap. The others start with none, and must leave the input alone or the
# whole new bitmap beside it. A SIGKILL may leave one hidden file besides;
# the next run to the output must remove it, and the count says whether it did.
# SIGNALS="KILL USR1 ..." chooses the signals, taken in turn (default KILL INT
# TERM HUP); QUILTPIX=path another build (the named-temporary one, say);
# SURVIVAL_DIR a folder to work in (a FUSE mount, say; default /dev/shm).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-200}
size=${2:-16384}
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target quiltpix mkmos >/dev/null

base=${SURVIVAL_DIR:-/dev/shm}
[ -w "$base" ] || base=${TMPDIR:-/tmp}
work=$(mktemp -d "$base/quiltpix-survival.XXXXXX")
trap 'rm -rf "$work"' EXIT
# A copy, so that a rebuild while this runs cannot change the program.
cp "${QUILTPIX:-build/quiltpix}" "$work/quiltpix"
exe=$work/quiltpix
cd "$work"
"$OLDPWD/build/mkmos" noise "$size" "$size" big.mos >/dev/null
"$exe" big.mos >/dev/null
mv big.bmp fresh.bmp.keep
# The shortest of three runs (the first ones in a fresh tmpfs are slower),
# to spread the kills over.
whole=
for ((i = 0; i < 3; i++)); do
  start=$(date +%s.%N)
  "$exe" big.mos >/dev/null
  whole=$(awk -v s="$start" -v e="$(date +%s.%N)" -v w="$whole" 'BEGIN { t = e - s; if (w != "" && w < t) t = w; printf "%.3f", t }')
  rm big.bmp
done
mkdir run
mv big.mos run/
echo "one whole run: $whole s; $runs runs killed at random moments"

read -r -a signals <<<"${SIGNALS:-KILL INT TERM HUP}"
leftovers=0 replacing=0 torn=0 killed=0 finished=0 left=0 unswept=0
for ((i = 0; i < runs; i++)); do
  # Alternate between replacing an old output and making a new one.
  if ((i / ${#signals[@]} % 2 == 0)); then hadold=1; printf 'old' >run/big.bmp; else hadold=0; rm -f run/big.bmp; fi
  signal=${signals[i % ${#signals[@]}]}
  delay=$(awk -v w="$whole" -v r="$RANDOM" 'BEGIN { printf "%.4f", w * 1.1 * r / 32767 }')
  (cd run && exec "$exe" big.mos >/dev/null) &
  pid=$!
  sleep "$delay"
  kill -s "$signal" "$pid" 2>/dev/null || true
  if wait "$pid"; then finished=$((finished + 1)); else killed=$((killed + 1)); fi
  # SIGKILL may leave the run's hidden file; the next run to that output
  # must remove it.
  hidden=$(ls -A run | grep -c '^\.' || true)
  if [ "$hidden" != 0 ]; then
    left=$((left + hidden))
    keep=$(mktemp -d "$work/keep.XXXXXX")
    [ -e run/big.bmp ] && cp -p run/big.bmp "$keep/"
    (cd run && "$exe" -q big.mos >/dev/null) || true
    after=$(ls -A run | grep -c '^\.' || true)
    unswept=$((unswept + after))
    [ "$after" = 0 ] || echo "run $i: the next run left $(ls -A run | grep '^\.' | tr '\n' ' ')"
    find run -mindepth 1 -name '.*' -delete
    rm -f run/big.bmp
    [ -e "$keep/big.bmp" ] && cp -p "$keep/big.bmp" run/
    rm -rf "$keep"
  fi
  names=$(ls -A run | tr '\n' ' ')
  if [ "$names" != "big.bmp big.mos " ] && { [ "$hadold" = 1 ] || [ "$names" != "big.mos " ]; }; then
    leftovers=$((leftovers + 1))
    [ "$hadold" = 1 ] && replacing=$((replacing + 1))
    echo "run $i ($signal after $delay s) left: $names"
    find run -mindepth 1 -not -name big.mos -not -name big.bmp -delete
  fi
  if [ -e run/big.bmp ] && ! cmp -s run/big.bmp fresh.bmp.keep && [ "$(head -c 4 run/big.bmp)" != "old" ]; then
    torn=$((torn + 1))
    echo "run $i ($signal after $delay s): output is neither the old file nor the new bitmap"
  fi
done
echo "killed $killed, finished first $finished (signals: ${signals[*]}); hidden files left: $left, still there after the next run: $unswept; runs that left other files or lost the old one: $leftovers ($replacing of them replacing an old output); torn outputs: $torn"

rm -f run/big.bmp
complete=0 statuses=""
for ((i = 0; i < 20; i++)); do
  rm -f run/big.bmp
  set +o pipefail
  (cd run && "$exe" big.mos; echo "exit $?" >"$work/status") | head -n 1 >/dev/null
  set -o pipefail
  statuses+="$(cut -d' ' -f2 "$work/status") "
  cmp -s run/big.bmp fresh.bmp.keep && complete=$((complete + 1))
done
echo "quiltpix big.mos | head -n 1, 20 times: $complete complete bitmaps; exit statuses: $statuses"
