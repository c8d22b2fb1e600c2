"""The package's types as mypy --strict sees them in a user's program (installed package, stubs)."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")
HERE = Path(__file__).parent / "typing"


def mypy_errors(tmp_path, name):
    # From another folder, so that mypy reads the installed package and not the sources.
    p = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(HERE / name)],
                       capture_output=True, text=True, cwd=tmp_path, timeout=300)
    return p.returncode, {int(n) for n in re.findall(rf"{name}:(\d+): error", p.stdout)}, p.stdout


def test_a_users_program_type_checks(tmp_path):
    rc, errors, out = mypy_errors(tmp_path, "user_program.py")
    assert (rc, errors) == (0, set()), out


def test_mistakes_are_reported(tmp_path):
    marked = {i for i, line in enumerate((HERE / "misuse.py").read_text().splitlines(), 1) if line.endswith("# error")}
    rc, errors, out = mypy_errors(tmp_path, "misuse.py")
    assert rc == 1 and errors == marked, out
