import os
import subprocess
import sys
import textwrap

import pytest


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter (the module initialises once per process)."""

    def run(code, timeout=60):
        env = dict(os.environ)
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True, text=True, timeout=timeout, env=env,
        )

    return run


def lines_of(message):
    """The exception text split at its context lines, positions cut off."""
    import re

    return [re.sub(r" \[src/[^\]]+:\d+\]$", "", part) for part in message.split("\n → ")]
