"""Each example runs to the end on a coarse grid (CORVANE_EXAMPLES_FAST=1)."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = sorted((Path(__file__).resolve().parents[2] / "examples").glob("*.py"))


@pytest.mark.parametrize("script", EXAMPLES, ids=[p.stem for p in EXAMPLES])
def test_example_runs(script, tmp_path):
    env = dict(os.environ, CORVANE_EXAMPLES_FAST="1", MPLBACKEND="Agg")
    done = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "neff" in done.stdout or "Re(neff)" in done.stdout
    if script.stem == "strip_waveguide":
        assert (tmp_path / "strip_te0.png").stat().st_size > 1000
