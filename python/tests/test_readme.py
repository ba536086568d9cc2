"""The README's Python examples, run as they stand."""
import contextlib
import io
import re
import shutil

from conftest import ROOT


def blocks(section):
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    body = text.split(f"## {section}\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```python\n(.*?)```", body, re.S)


def test_the_python_examples_run_and_print_what_they_say(tmp_path, sample, monkeypatch):
    shutil.copy(sample, tmp_path / "harbour.mos")
    monkeypatch.chdir(tmp_path)
    found = blocks("From Python")
    assert len(found) == 2
    for code in found:
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            exec(compile(code, "README.md", "exec"), {})
        # Every "# ..." comment after a print is what it prints.
        printed = out.getvalue().splitlines()
        said = [c.strip() for line, c in re.findall(r"^(\s*print\(.*?\))\s*#(.*)$", code, re.M)]
        assert len(printed) == len(said)
        for line, comment in zip(printed, said):
            assert line.startswith(comment.rstrip(". ")), (line, comment)
    assert (tmp_path / "copy.mos").read_bytes() == (tmp_path / "harbour.mos").read_bytes()
    assert (tmp_path / "upside-down.mos").exists()
