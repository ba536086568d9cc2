#!/usr/bin/env bash
# The Windows build's command-line behaviour, run under wine: messages (with
# Windows' CR LF line ends), exit statuses, output names, replacing an
# existing output, read-only outputs, names in any script, and runs killed
# at random moments leaving nothing behind.
# Usage: bash scripts/windows_driver.sh BUILD_DIR [KILLS]
# BUILD_DIR is a Windows build (scripts/cross.sh makes build-cross/windows).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
exe=$root/$1/quiltpix.exe
kills=${2:-20}
[ -x build/mkmos ] && [ -x build/quiltpix ] || { echo "needs the native build in build/"; exit 2; }

export WINEDEBUG=-all
wineserver=/usr/lib/wine/wineserver64
# One server for all the runs, rather than one started for each.
$wineserver -p 2>/dev/null || true
work=$(mktemp -d /tmp/quiltpix-windows.XXXXXX)
trap '$wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"

passed=0
failed=0
check() { # NAME CONDITION...
  local name=$1
  shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $name"; fi
}
run() { # runs the program, output in $out (CR LF kept), status in $rc
  out=$(/usr/lib/wine/wine64 "$exe" "$@" 2>/dev/null; echo "rc=$?")
  rc=${out##*rc=}
  out=${out%rc=*}
}
says() { # whether the output was exactly these lines, each ended as on Windows
  local want
  printf -v want '%s\r\n' "$@"
  [ "$out" = "$want" ]
}
fails() { [ "$rc" = 1 ] && says "$@"; }
listing() { ls -A | grep -v -x .quiltpix-record | tr '\n' ' '; }

banner="Quiltpix v1.0 by Wenderby"
"$root/build/mkmos" sample harbour.mos
mkdir native && (cd native && cp ../harbour.mos . && "$root/build/quiltpix" -q harbour.mos)

run harbour.mos
check "a conversion prints its four lines" says "$banner" 12360 Done "Mos file converted successfully!"
check "and exits with 0" [ "$rc" = 0 ]
check "the bitmap is the native build's" cmp -s harbour.bmp native/harbour.bmp

run
check "no argument gives the usage" fails "$banner" "Usage: quiltpix <mosfile>" "Run 'quiltpix --help' for the options and more forms."
run missing.mos
check "a missing input says why" fails "$banner" "missing.mos: No such file or directory" "missing.mos cannot be opened!"
run -x harbour.mos
check "an unknown option is refused" fails "$banner" "Unknown option: -x" "Usage: quiltpix <mosfile>" "Run 'quiltpix --help' for the options and more forms."
run "/?"
check "/? is the help" [ "$rc" = 0 ]
check "which shows cmd and PowerShell" [ -n "$(printf %s "$out" | grep 'for %f in (\*.mos) do')" ] && [ -n "$(printf %s "$out" | grep ForEach-Object)" ]

# Names differ only in case are one file on Windows.
cp harbour.mos pic.BMP
run pic.BMP
check "pic.BMP would be overwritten by its own output" fails "$banner" "pic.BMP: that is the input file itself" "Output file would overwrite the input: pic.BMP"
check "and is left as it was" cmp -s pic.BMP harbour.mos
rm pic.BMP

# Replacing an existing output, refusing a read-only one or a folder.
printf old >old.bmp
cp harbour.mos old.mos
run -q old.mos
check "an existing output is replaced" cmp -s old.bmp native/harbour.bmp
printf old >old.bmp
chmod a-w old.bmp # a read-only file under wine
run old.mos
check "a read-only output is refused" fails "$banner" "old.bmp: the file is read-only" "Can't open output file: old.bmp"
check "and kept" [ "$(cat old.bmp)" = old ]
chmod u+w old.bmp
mkdir dir.bmp && cp harbour.mos dir.mos
run dir.mos
check "a folder as output is refused" fails "$banner" "dir.bmp: Is a directory" "Can't open output file: dir.bmp"
rm -r old.* dir.*

# Names in any script, as arguments and as printed.
for name in café жук 日本; do
  cp harbour.mos "$name.mos"
  run -q "$name.mos"
  check "$name.mos converts" [ "$out$rc" = 0 ]
  check "$name.bmp is right" cmp -s "$name.bmp" native/harbour.bmp
  run "$name-gone.mos"
  check "$name-gone.mos is named as typed" says "$banner" "$name-gone.mos: No such file or directory" "$name-gone.mos cannot be opened!"
done
mkdir out
run -q -o out 日本.mos
check "-o into a folder" cmp -s out/日本.bmp native/harbour.bmp
check "nothing else was left" [ "$(listing)" = "café.bmp café.mos harbour.bmp harbour.mos native out жук.bmp жук.mos 日本.bmp 日本.mos " ]
rm -r out ./*.bmp

# Wildcards are expanded as Windows programs do; one that matches nothing
# stays as typed.
run -q --check "*.mos"
check "--check *.mos finds every file" [ "$out$rc" = 0 ]
run --check "*.mos"
check "and names each whole" [ "$(printf %s "$out" | grep -c ': whole')" = 4 ]
run -q --all -o 'made\' "*.mos"
check "--all *.mos into a folder it makes" [ "$out$rc" = 0 ] && cmp -s made/жук.bmp native/harbour.bmp && [ "$(ls made | wc -l)" = 4 ]
run --check "gone*.mos"
check "a pattern that matches nothing is reported as typed" fails "$banner" "gone*.mos: No such file or directory"
rm -r made café.mos жук.mos 日本.mos

# Windows folds case: a pattern given in both cases names every file twice,
# and each is converted and named once; two names that differ only in case
# would write one output, and both are refused.
mkdir twice && cp harbour.mos twice/a.mos && cp harbour.mos twice/b.mos
run --all -q 'twice\*.mos' 'twice\*.MOS'
check "*.mos *.MOS converts each file once" [ "$out$rc" = 0 ] && [ "$(ls twice | wc -l)" = 4 ]
run --all 'twice\*.mos' 'twice\*.MOS'
check "and names each once" [ "$(printf %s "$out" | grep -c '^\[')" = 2 ] && [ -n "$(printf %s "$out" | grep '0 converted, 2 unchanged, 0 failed')" ]
cp harbour.mos Pic.mos && cp harbour.mos pic.x
run --all -q Pic.mos pic.x
check "Pic.mos and pic.x, one output, are both refused" [ "$rc" = 1 ] && [ "$(printf %s "$out" | grep -c 'would also be written from')" = 2 ]
check "and nothing is written" [ ! -e Pic.bmp ] && [ ! -e pic.bmp ]
rm -r twice Pic.mos pic.x

# The way back, and the same MOS file as the native build's.
(cd native && "$root/build/quiltpix" -q -o back.mos harbour.bmp)
run -q -o back.mos native/harbour.bmp
check "a bitmap goes back to the native build's MOS file" [ "$out$rc" = 0 ] && cmp -s back.mos native/back.mos
run -q --like harbour.mos -o like.mos native/harbour.bmp
check "--like gives the original back" [ "$out$rc" = 0 ] && cmp -s like.mos harbour.mos
rm -f back.mos like.mos native/back.mos

# The put-back in place, in the three forms the README leads with: an edited
# bitmap goes back into its own MOS file (which Windows renames over only
# once nobody holds it open), beside it, by --all, and into an archive folder.
edit() { # FILE [PIXEL]: one pixel of the bitmap given another colour, as an editor would
  printf '\x10\x20\x30' | dd of="$1" bs=1 seek=$((54 + 3 * ${2:-1000})) conv=notrunc 2>/dev/null
}
mkdir warch wedit
cp harbour.mos DOOR01.MOS && cp harbour.mos DOOR02.MOS && cp harbour.mos warch/AR0100.MOS
run -q --all DOOR01.MOS DOOR02.MOS 'warch\AR0100.MOS'
check "the archive is extracted" [ "$out$rc" = 0 ] && [ -e DOOR01.bmp ] && [ -e warch/AR0100.bmp ]
mv warch/AR0100.bmp wedit/AR0100.bmp
edit DOOR01.bmp
run -q DOOR01.bmp
check "an edit goes back into its own MOS file" [ "$out$rc" = 0 ] && ! cmp -s DOOR01.MOS harbour.mos && [ ! -e DOOR01.mos.part ]
edit DOOR02.bmp
cp DOOR01.MOS door01.before
run --all '*.bmp'
check "--all *.bmp puts back what was edited" [ "$rc" = 0 ] && [ -n "$(printf %s "$out" | grep '1 converted, 1 unchanged, 0 failed')" ] && cmp -s DOOR01.MOS door01.before && ! cmp -s DOOR02.MOS harbour.mos
edit wedit/AR0100.bmp
run -q --all -o 'warch\' 'wedit\*.bmp'
check "--all -o warch\\ wedit\\*.bmp puts back into the archive" [ "$out$rc" = 0 ] && ! cmp -s warch/AR0100.MOS harbour.mos && [ "$(ls warch)" = AR0100.MOS ]
# What stands under an output name: an edit is kept, whatever its time;
# what the record vouches for, a re-save, or no picture at all is replaced.
edit DOOR02.bmp 5000
cp DOOR02.bmp kept.bmp
cp harbour.mos DOOR02.MOS
touch -d '2000-01-01' DOOR02.bmp
run -q DOOR02.MOS
check "an edit older than its input is kept" [ "$rc" = 1 ] && cmp -s DOOR02.bmp kept.bmp && [ -n "$(printf %s "$out" | grep 'kept as an edit')" ]
run -q --force DOOR02.MOS
check "and --force replaces it" [ "$out$rc" = 0 ] && cmp -s DOOR02.bmp native/harbour.bmp
cp DOOR01.MOS DOOR02.MOS
run -q DOOR02.MOS
check "what the record vouches for is replaced" [ "$out$rc" = 0 ] && ! cmp -s DOOR02.bmp native/harbour.bmp
printf junk >DOOR02.bmp
run -q DOOR02.MOS
check "a file that is no picture is replaced" [ "$out$rc" = 0 ] && [ "$(head -c 2 DOOR02.bmp)" = BM ]
printf junk >junk.MOS && cp native/harbour.bmp junk.bmp
run -q junk.bmp
check "a MOS name that holds no MOS file is kept" [ "$rc" = 1 ] && [ "$(cat junk.MOS)" = junk ]
run -q --force junk.bmp
check "and --force replaces it" [ "$out$rc" = 0 ] && [ "$(head -c 3 junk.MOS)" = MOS ]
rm -rf warch wedit DOOR0* door01.before kept.bmp junk.*

# Kills at random moments of a large conversion: the folder holds the input
# and either nothing else or the whole bitmap.
"$root/build/mkmos" noise 16384 16384 big.mos 5
(cd native && cp ../big.mos . && "$root/build/quiltpix" -q big.mos && rm big.mos)
now() { echo $(($(date +%s%N) / 1000000)); }
# Waits until the conversion has made its hidden file: wine's own start-up
# takes longer than many conversions, and kills during it prove nothing.
await_part() {
  for _ in $(seq 1000); do
    ls -A | grep -q 'part$' && return 0
    kill -0 "$1" 2>/dev/null || return 0
    sleep 0.005
  done
}
# The shortest of three runs, from the hidden file to the end: the first run
# reads a cold file and takes far longer than the rest.
whole=
for _ in 1 2 3; do
  rm -f big.bmp
  /usr/lib/wine/wine64 "$exe" -q big.mos >/dev/null 2>&1 &
  pid=$!
  await_part $pid
  begin=$(now)
  wait $pid
  took=$(($(now) - begin))
  [ -n "$whole" ] && [ "$whole" -le "$took" ] || whole=$took
done
echo "a whole conversion takes $whole ms after its hidden file appears"
left=0
stray=0
finished=0
for ((i = 0; i < kills; i++)); do
  rm -f big.bmp
  signal=$([ $((i % 2)) = 0 ] && echo KILL || echo INT)
  /usr/lib/wine/wine64 "$exe" -q big.mos >/dev/null 2>&1 &
  pid=$!
  await_part $pid
  delay=$((RANDOM % (whole + whole / 5 + 1))) # some runs finish first
  sleep "$((delay / 1000)).$(printf %03d $((delay % 1000)))"
  kill -"$signal" "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  # The server closes a killed process's handles, and so deletes its file,
  # a moment after the process is gone.
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    [ "$(ls -A | grep -c part)" = 0 ] && break
    sleep 0.2
  done
  if [ -e big.bmp ]; then
    finished=$((finished + 1))
    cmp -s big.bmp native/big.bmp || { echo "run $i: a finished bitmap differs"; stray=$((stray + 1)); }
  fi
  # A kill at the very creation can leave one empty hidden file; the next
  # run to that output removes it.
  extra=$(ls -A | grep -v -x -e big.mos -e big.bmp -e harbour.mos -e harbour.bmp -e native -e .quiltpix-record)
  if [ -n "$extra" ]; then
    left=$((left + 1))
    [ "$(echo "$extra" | wc -l)" = 1 ] && [[ $extra == .big.bmp.*.part ]] || { echo "run $i ($signal): left $extra"; stray=$((stray + 1)); }
    /usr/lib/wine/wine64 "$exe" -q big.mos >/dev/null 2>&1 || true
    extra=$(ls -A | grep -v -x -e big.mos -e big.bmp -e harbour.mos -e harbour.bmp -e native -e .quiltpix-record)
    [ -z "$extra" ] || { echo "run $i ($signal): the next run left $extra"; stray=$((stray + 1)); rm -f -- $extra; }
  fi
done
echo "killed runs: $kills (SIGKILL and SIGINT in turn), $finished finished first, $left left a hidden file, swept by the next run"
check "killed runs leave at most their hidden file, and the next run removes it" [ "$stray" = 0 ]

echo "windows driver: $passed passed, $failed failed"
[ "$failed" = 0 ]
