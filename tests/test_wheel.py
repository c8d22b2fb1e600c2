"""The wheel: built and repaired by scripts/build-wheel, installed alone, running the README's
Python example."""

import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import engine_env

REPO = Path(__file__).resolve().parents[1]


@pytest.mark.slow
def test_the_wheel_installs_alone_and_runs_the_readme_example(tmp_path):
    subprocess.run([str(REPO / "scripts/build-wheel"), str(tmp_path / "dist")], check=True, capture_output=True,
                   timeout=1800)
    wheel, = (tmp_path / "dist").glob("*.whl")
    assert "-cp313-abi3-" in wheel.name and "manylinux" in wheel.name
    assert len(list((tmp_path / "dist").glob("tesra-*.tar.gz"))) == 1
    subprocess.run([sys.executable, "-m", "venv", str(tmp_path / "venv")], check=True)
    subprocess.run([str(tmp_path / "venv/bin/pip"), "install", "--quiet", "--no-index", str(wheel)], check=True)
    code, printed = re.search(r"```python\n(.*?)```\n\nprints\n\n```text\n(.*?)```", (REPO / "README.md").read_text(),
                              re.S).groups()
    shutil.copytree(REPO / "examples", tmp_path / "work/examples")
    env = {k: v for k, v in engine_env().items() if k != "PYTHONPATH"}
    p = subprocess.run([str(tmp_path / "venv/bin/python"), "-c", code], capture_output=True, text=True,
                       cwd=tmp_path / "work", env=env, timeout=120)
    assert (p.returncode, p.stdout, p.stderr) == (0, printed, "")
