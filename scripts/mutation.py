#!/usr/bin/env python3
"""A mutation pass: one small slip at a time in the output file, the driver
and the converters (a flipped condition, a dropped check), then the test
suite; a slip the suite does not notice is a promise no test holds.

Usage: python3 scripts/mutation.py [BUILD_DIR] [--only SUBSTRING]
BUILD_DIR (default build-mutation) is configured here; the source tree is
changed one slip at a time and always restored, even on Ctrl-C.
"""
import os
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# (file, text as it stands, the slip, what the slip breaks)
SLIPS = [
    ("system/output_file_posix.cpp", "|| old.sa_handler != SIG_DFL)", ")",
     "a handler over a signal ignored at start"),
    ("system/output_file_posix.cpp", "    if (pendingSet)\n        ::unlinkat", "    if (false)\n        ::unlinkat",
     "a fatal signal leaves the named temporary"),
    ("system/output_file_posix.cpp", "            if (!mayFollow(folder, existing))\n                return fail(plantedLink);",
     "", "another user's link at the output name followed"),
    ("system/output_file_posix.cpp", "        if (!S_ISREG(existing.st_mode))\n            return fail(\"not a regular file\");\n", "",
     "a FIFO or device at the output name replaced"),
    ("system/output_file_posix.cpp", "        if (::faccessat(dir, name.c_str(), W_OK, AT_EACCESS) != 0)\n            return failWithErrno();\n",
     "", "an old output we may not write is replaced"),
    ("system/output_file_posix.cpp", "        if (isAppendOnlyOrImmutable(dir, name))\n            return fail(\"the file is append-only or immutable\");\n",
     "", "an append-only output is worked on"),
    ("system/output_file_posix.cpp", "if ((shared && !ownedHere) || ", "if (",
     "another user's file in a shared folder replaced by root"),
    ("system/output_file_posix.cpp", "existing.st_uid != user && folder.st_uid != user)", "existing.st_uid != user)",
     "the folder owner may not replace in a sticky folder"),
    ("system/output_file_posix.cpp", "                bits &= static_cast<mode_t>(~070);\n", "",
     "group bits kept for a new group"),
    ("system/output_file_posix.cpp", "&& ::fchown(fd(), oldOwner, oldGroup) != 0 &&", "&& true &&",
     "the old owner and group not kept"),
    ("system/output_file_posix.cpp", "    if (appendOnlyFolder && s.replacing)", "    if (false)",
     "an append-only folder worked in, replacing"),
    ("system/output_file_posix.cpp", "    if (appendOnlyFolder)\n        return s.fail(appendOnly);", "",
     "an append-only folder worked in, named fallback"),
    ("system/output_file_posix.cpp", "        s.mode = 0666 & ~currentUmask();", "        s.mode = 0666;",
     "the umask ignored"),
    ("system/output_file_posix.cpp", "        s.mode = existing.st_mode & 0777;", "        s.mode = 0644;",
     "an old output's permission bits not kept"),
    ("system/output_file_posix.cpp", "                ::unlinkat(s.dir, s.name.c_str(), 0);\n", "",
     "a late close failure leaves the output"),
    ("system/output_file_posix.cpp", "ours.st_dev != named.st_dev || ours.st_ino != named.st_ino)", "false)",
     "a swapped hidden name renamed over the output"),
    ("system/output_file_posix.cpp", "    if (!s.committed && !s.hidden.empty())\n        s.removeHidden();", "",
     "a failed conversion leaves the named temporary"),
    ("system/output_file_posix.cpp", "            b.error = written < 0 ? errno : ENOSPC;", "            break;",
     "a failed positioned write taken for success"),
    ("system/output_file_posix.cpp", "    if (!s.stream.flush() || s.buffer.error != 0)", "    if (!s.stream.flush())",
     "a failed write committed"),
    ("system/output_file_posix.cpp", "            if (errno != EEXIST)\n                return s.failWithErrno();\n", "",
     "a failed link of a new output ignored"),
    ("system/output_file_posix.cpp", "O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW", "O_WRONLY | O_CREAT | O_NOFOLLOW",
     "the hidden file not created exclusively"),
    ("system/output_file_posix.cpp", "        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)\n            return s.failWithErrno();\n",
     "", "an unnamed file refused for a reason that also refuses a named one"),
    ("system/links_posix.cpp", "            if (!mayFollow(here, link))\n                return fail(plantedLink);", "",
     "another user's link on the way to a folder followed"),
    ("system/input_file_posix.cpp", "    if (!S_ISREG(info.st_mode))\n        return \"not a regular file\";", "",
     "a FIFO or device read as input"),
    ("app/main.cpp", "    if (isSameFile(input, output)) {", "    if (false) {",
     "the input overwritten by its output"),
    ("app/main.cpp", "        if (a.size() < 2 || a[0] != '-')", "        if (a.size() < 1 || a[0] != '-')",
     "a file named - taken for an option"),
    ("app/main.cpp", "        if (inputs.size() < 2)", "        if (true)",
     "two inputs with one output both converted"),
    ("app/main.cpp", "    return failed == 0 ? 0 : 1;", "    return 0;",
     "--all says success after a failure"),
    ("app/main.cpp", "    if (!o.quiet || failed > 0)", "    if (!o.quiet)",
     "--all -q hides the count of failures"),
    ("app/main.cpp", "        if (isSameFile(*o.like, output))", "        if (false)",
     "--like's original overwritten"),
    ("app/main.cpp", "    if (!back && (o.like || o.dither)) {", "    if (false) {",
     "--like taken for a MOS file"),
    ("app/main.cpp", "    if (converted && file.commit()) {", "    if (converted) {",
     "a failed commit reported as success"),
    ("image/to_bitmap.cpp", "    if (!fits(h.paletteOffset, tables - h.paletteOffset, inputSize))", "    if (false)",
     "palettes past the end read"),
    ("image/to_bitmap.cpp", "        if (!fits(start, length, inputSize))", "        if (false)",
     "a tile row past the end read"),
    ("image/to_bitmap.cpp", "    if (h.width <= 0)", "    if (h.width < 0)",
     "width 0 taken"),
    ("image/to_bitmap.cpp", "    if (!writeBytes(out, chunk, rowsInChunk * rowSize) || !out.flush())",
     "    if (!writeBytes(out, chunk, rowsInChunk * rowSize))", "the last write not flushed"),
    ("image/to_bitmap.cpp", "        return kind ? std::string(\"a \") + kind + \" file, not a MOS picture (\" + why + \")\" : why;",
     "        return why;", "a wrong kind of file not named"),
    ("image/formats/bitmap_reader.cpp", "                if (k2 >= f.tableEntries) {", "                if (k2 > f.tableEntries) {",
     "an index one past the colour table read"),
    ("image/formats/bitmap_reader.cpp", "                if (x + a > static_cast<int>(limit))",
     "                if (x + a > static_cast<int>(limit) + 1)", "an RLE run one past the row"),
    ("image/to_mos.cpp", "        if (regions[k].first < regions[k - 1].second)\n            return false;", "",
     "an overlapping layout rewritten in place"),
]


def run(cmd, cwd, timeout):
    try:
        return subprocess.run(cmd, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return -1


def main():
    args = sys.argv[1:]
    only = None
    if "--only" in args:
        i = args.index("--only")
        only = args[i + 1]
        del args[i:i + 2]
    build = os.path.abspath(args[0] if args else os.path.join(ROOT, "build-mutation"))
    targets = ["quiltpix", "quiltpix_named_temp", "quiltpix_tests", "fuzz_replay"]
    if run(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DQUILTPIX_REQUIRE_TESTS=ON"], ROOT, 600):
        sys.exit("configure failed")
    if run(["cmake", "--build", build, "-j2", "--target"] + targets, ROOT, 1800):
        sys.exit("the unchanged tree does not build")
    if run(["ctest", "--test-dir", build, "-j2"], ROOT, 900):
        sys.exit("the unchanged tree fails its tests")
    per_file = {}
    missed = []
    for path, old, new, what in SLIPS:
        if only and only not in path:
            continue
        full = os.path.join(ROOT, path)
        text = open(full).read()
        if text.count(old) != 1:
            print(f"?  {path}: the text of '{what}' is not there once; skipped")
            continue
        start = time.time()
        try:
            open(full, "w").write(text.replace(old, new))
            built = run(["cmake", "--build", build, "-j2", "--target"] + targets, ROOT, 1800) == 0
            caught = not built or run(["ctest", "--test-dir", build, "-j2", "--timeout", "120"], ROOT, 900) != 0
        finally:
            open(full, "w").write(text)
        tally = per_file.setdefault(path, [0, 0])
        tally[0 if caught else 1] += 1
        if not caught:
            missed.append(f"{path}: {what}")
        print(f"{'caught' if caught else 'MISSED'}{'' if built else ' (does not build)'}  {path}: {what} "
              f"({time.time() - start:.0f} s)", flush=True)
    run(["cmake", "--build", build, "-j2", "--target"] + targets, ROOT, 1800)
    print("\nper file: caught / missed")
    for path, (caught, missed_count) in per_file.items():
        print(f"  {path}: {caught} / {missed_count}")
    total = sum(c for c, _ in per_file.values()), sum(m for _, m in per_file.values())
    print(f"slips: {total[0] + total[1]}, caught {total[0]}, missed {total[1]}")
    for m in missed:
        print("  missed: " + m)


if __name__ == "__main__":
    main()
