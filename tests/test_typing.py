"""The package's types as mypy --strict sees them in a user's program (installed package, stubs)."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")
HERE = Path(__file__).parent / "typing"


@pytest.mark.parametrize("name", ["user_program.py", "misuse.py"])
def test_mypy_strict_accepts_a_users_program_and_reports_each_mistake(tmp_path, name):
    # From another folder, so that mypy reads the installed package and not the sources.
    p = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(HERE / name)],
                       capture_output=True, text=True, cwd=tmp_path, timeout=300)
    marked = {i for i, line in enumerate((HERE / name).read_text().splitlines(), 1) if line.endswith("# error")}
    assert {int(n) for n in re.findall(rf"{name}:(\d+): error", p.stdout)} == marked, p.stdout
    assert p.returncode == (1 if marked else 0), p.stdout
