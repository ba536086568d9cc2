#!/usr/bin/env bash
# The round trip of an archive: FILES MOS files extracted to bitmaps, EDITED
# of them edited, then the folder brought up to date with one command.
# Times the extraction into an empty folder against reruns where every
# bitmap is up to date and against reading every file once; the dry run;
# counts the MOS files rewritten by the put-back (by inode and time) and the
# lines printed; and times --all FOLDER against a shell loop of single runs
# over the bitmaps, on copies of the same folder, alternating, median of
# RUNS.
#   bash bench/roundtrip.sh [FILES] [EDITED] [SIZE] [RUNS]   (defaults: 200 4 512 5)
set -euo pipefail
cd "$(dirname "$0")/.."
files=${1:-200}
edited=${2:-4}
size=${3:-512}
runs=${4:-5}
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target quiltpix mkmos >/dev/null
exe=$(pwd)/build/quiltpix
mkmos=$(pwd)/build/mkmos
work=$(mktemp -d "${TMPDIR:-/tmp}/quiltpix-roundtrip.XXXXXX")
trap 'rm -rf "$work"' EXIT

mkdir "$work/archive"
for ((i = 0; i < files; i++)); do
  "$mkmos" noise "$size" "$size" "$(printf '%s/archive/PIC%03d.MOS' "$work" "$i")" "$((i + 1))" >/dev/null
done
elapsed() { awk -v s="$1" -v e="$(date +%s.%N)" 'BEGIN { printf "%.3f", e - s }'; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# The extraction of the folder: into a folder with no bitmaps; again at
# once, when the record's entries are too fresh to vouch for the files (they
# are read and compared); again two seconds later, when the record vouches
# for both sides of every pair (nothing is read); and, for scale, reading
# every input and output once. In turn, RUNS times.
first_times=() rerun_times=() settled_times=() read_times=()
for ((r = 0; r < runs; r++)); do
  rm -f "$work/archive"/*.bmp "$work/archive/.quiltpix-record"
  start=$(date +%s.%N)
  "$exe" --all -q "$work/archive/"
  first_times+=("$(elapsed "$start")")
  start=$(date +%s.%N)
  "$exe" --all -q "$work/archive/"
  rerun_times+=("$(elapsed "$start")")
  sleep 2.1
  start=$(date +%s.%N)
  "$exe" --all -q "$work/archive/"
  settled_times+=("$(elapsed "$start")")
  start=$(date +%s.%N)
  cat "$work/archive"/*.MOS "$work/archive"/*.bmp >/dev/null
  read_times+=("$(elapsed "$start")")
done
echo "extract --all FOLDER, median of $runs: into an empty folder $(printf '%s\n' "${first_times[@]}" | median) s;" \
  "again at once $(printf '%s\n' "${rerun_times[@]}" | median) s; again 2 s later $(printf '%s\n' "${settled_times[@]}" | median) s;" \
  "reading every file once $(printf '%s\n' "${read_times[@]}" | median) s"

# An edit: a short stroke of one colour across a few pixels of one tile row,
# as a user's touch-up would be.
for ((i = 0; i < edited; i++)); do
  picture=$(printf '%s/archive/PIC%03d.bmp' "$work" "$((i * files / edited))")
  printf '\x10\x20\x30\x10\x20\x30\x10\x20\x30' | dd of="$picture" bs=1 seek=$((54 + 3 * (size * 100 + 70))) conv=notrunc 2>/dev/null
done

stamps() { stat -c '%n %i %Y.%y' "$1"/*.MOS; }

# The dry run of the folder with its edits, and its lines.
dry_times=()
for ((r = 0; r < runs; r++)); do
  start=$(date +%s.%N)
  "$exe" --all -n "$work/archive/" >"$work/dry" || true
  dry_times+=("$(elapsed "$start")")
done
echo "dry run --all -n FOLDER, median of $runs: $(printf '%s\n' "${dry_times[@]}" | median) s, $(wc -l <"$work/dry") lines (last: $(tail -n 1 "$work/dry"))"
all_times=() loop_times=()
for ((r = 0; r < runs; r++)); do
  for way in all loop; do
    rm -rf "$work/copy" && cp -a "$work/archive" "$work/copy"
    before=$(stamps "$work/copy")
    start=$(date +%s.%N)
    if [ "$way" = all ]; then
      (cd "$work/copy" && "$exe" --all . >"$work/lines" || true)
      all_times+=("$(elapsed "$start")")
    else
      (cd "$work/copy" && for f in ./*.bmp; do "$exe" -q "$f" || true; done)
      loop_times+=("$(elapsed "$start")")
    fi
    rewritten=$(diff <(echo "$before") <(stamps "$work/copy") | grep -c '^>' || true)
    [ "$r" = 0 ] && echo "$way: $rewritten of $files MOS files rewritten"
  done
done
echo "lines printed by --all: $(wc -l <"$work/lines") (last: $(tail -n 1 "$work/lines"))"
echo "put back, median of $runs: --all $(printf '%s\n' "${all_times[@]}" | median) s; a shell loop of single runs $(printf '%s\n' "${loop_times[@]}" | median) s"
