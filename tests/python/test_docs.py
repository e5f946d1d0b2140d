"""The examples people read first keep working.

Every Python block of a Markdown file at the top of the tree runs, in order, in
one namespace per file, in a fresh interpreter; where a `print(...)` line ends
in a comment, the comment is what that line prints. examples/quickstart.py runs
to its end.
"""

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

BLOCK = re.compile(r"^```python\n(.*?)^```", re.M | re.S)
# `print(...)  # what it prints` on a line of its own.
PRINTED = re.compile(r"^\s*print\(.*\)\s+#\s?(.*)$")

# Runs the blocks given as JSON on stdin in one namespace and reports, for each,
# what it printed or the traceback it raised.
DRIVER = r"""
import contextlib, io, json, sys, traceback
blocks = json.load(sys.stdin)
namespace = {"__name__": "__main__"}
outcomes = []
for number, code in enumerate(blocks):
    out = io.StringIO()
    try:
        with contextlib.redirect_stdout(out):
            exec(compile(code, f"<block {number + 1}>", "exec"), namespace)
    except BaseException:
        outcomes.append({"printed": out.getvalue(), "error": traceback.format_exc()})
        break
    outcomes.append({"printed": out.getvalue(), "error": None})
sys.stdout.write(json.dumps(outcomes))
"""


def python_blocks(text):
    return BLOCK.findall(text)


def stated_output(block):
    """The printed lines a block's comments state, or None when some print states nothing."""
    prints = [line for line in block.splitlines() if re.match(r"^\s*print\(", line)]
    stated = [m.group(1) for m in map(PRINTED.match, prints) if m]
    return stated if len(stated) == len(prints) else None


def run_child(args, stdin=None, timeout=120):
    return subprocess.run([sys.executable, *args], input=stdin, capture_output=True, text=True,
                          timeout=timeout, env=dict(os.environ), cwd=ROOT)


DOCS = [p for p in sorted(ROOT.glob("*.md")) if python_blocks(p.read_text(encoding="utf-8"))]


def test_the_readme_has_examples_to_check():
    assert ROOT / "README.md" in DOCS


def problems(text, name="doc"):
    """What goes wrong when the Python blocks of `text` run, as readable lines."""
    blocks = python_blocks(text)
    child = run_child(["-c", DRIVER], stdin=json.dumps(blocks))
    if child.returncode != 0:
        return [f"{name}: the driver failed:\n{child.stderr}"]
    found = []
    for number, (block, outcome) in enumerate(zip(blocks, json.loads(child.stdout)), start=1):
        if outcome["error"] is not None:
            found.append(f"{name}, block {number} raised:\n{outcome['error']}")
            break
        stated = stated_output(block)
        if stated is not None and outcome["printed"].splitlines() != stated:
            found.append(f"{name}, block {number} printed {outcome['printed'].splitlines()}, "
                         f"its comments say {stated}")
    return found


@pytest.mark.parametrize("doc", DOCS, ids=lambda p: p.name)
def test_python_blocks_run_and_print_what_they_state(doc):
    assert problems(doc.read_text(encoding="utf-8"), doc.name) == []


def test_quickstart_runs_to_its_end():
    child = run_child([str(ROOT / "examples" / "quickstart.py")])
    assert child.returncode == 0, child.stderr
    assert "Traceback" not in child.stderr
    # Its last step prints an error report: reaching it means every step before ran.
    assert re.search(r"^error: ", child.stdout, re.M), child.stdout


def doc(*blocks):
    return "Text.\n\n" + "\n".join(f"```python\n{b}\n```\n\nMore text.\n" for b in blocks)


@pytest.mark.parametrize("text, caught", [
    (doc("x = 2\nprint(x)  # 2", "print(x + 1)  # 3"), []),                 # one namespace, in order
    (doc("print('a b')  # a b\nprint([1, 'c'])  # [1, 'c']"), []),
    (doc("print(2)  # 3"), ["block 1 printed ['2'], its comments say ['3']"]),
    (doc("print(2)  # 2\nprint(5)"), []),                                      # states nothing: not compared
    (doc("x = 1", "raise KeyError('gone')", "print(1)  # 2"), ["block 2 raised"]),
    (doc("print(1)  # 1\n```\n\n```sh\nprint(2)  # 3"), []),                # other languages are not run
])
def test_a_drifted_example_is_caught(text, caught):
    found = problems(text)
    assert len(found) == len(caught), found
    for problem, expected in zip(found, caught):
        assert expected in problem
