"""The README stays a page to read: its two commands first, short lines, and
the benchmark and fuzzing recipes in their own READMEs, whose commands name
targets and files that exist."""

import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parents[2]
LONGEST_LINE = 110


def text(relative):
    return (ROOT / relative).read_text()


def test_readme_opens_with_its_two_commands_and_keeps_lines_short():
    readme = text("README.md")
    commands = [line.strip() for line in readme.splitlines()[1:6] if line.startswith("    ")]
    assert [c.split("#")[0].strip() for c in commands] == ["bash scripts/test.sh", "bash scripts/demo.sh"]
    for name in ("README.md", "bench/README.md", "fuzz/README.md"):
        long = [line for line in text(name).splitlines() if len(line) > LONGEST_LINE]
        assert not long, (name, long)


def test_recipes_live_beside_what_they_run():
    readme = text("README.md")
    assert "`bench/README.md`" in readme and "`fuzz/README.md`" in readme
    bench_targets = set(re.findall(r"add_executable\((\w+)", text("bench/CMakeLists.txt")))
    for target in re.findall(r"--target (\w+)", text("bench/README.md")):
        assert target in bench_targets, target
    for name in ("bench/README.md", "fuzz/README.md"):
        for path in re.findall(r"\b((?:bench|fuzz|scripts)/[\w./-]+\.(?:py|sh))\b", text(name)):
            assert (ROOT / path).exists(), (name, path)
