import shutil
import subprocess

import pytest

from corvane import _core


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils nm")
def test_extension_exports_only_its_initialiser():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", _core.__file__], capture_output=True, text=True, check=True
    ).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit__core"]
