"""What `corvane.solve` never returns as a guided mode (an unconverged one, a mode of the
closed box around a guide), how it refuses more modes than a grid holds, the warnings that
reach a plain script, and materials that hold only near the solve's wavelength."""

import math
import subprocess
import sys

import numpy as np
import pytest

import corvane
from corvane.geometry import strip
from corvane.grid import Grid
from corvane.materials import Material

CLADDING = 1.444


def test_a_closed_window_keeps_its_box_modes_out_of_the_guided_ones():
    s = strip(width=0.5, height=0.22, core=3.48, cladding=CLADDING)
    with pytest.warns(UserWarning, match=r"only \d of 6 physical modes"):
        modes = corvane.solve(s, 1.55, num_modes=6, step=0.08, pml=0)
    assert len(modes) >= 2 and all(m.kind == "guided" and m.neff.real > CLADDING for m in modes)
    box = [h for h in modes.hidden if h.kind == "box"]
    assert box and all(h.neff.real <= CLADDING for h in box)


def test_a_mode_that_did_not_converge_is_never_returned(caplog):
    # A Sellmeier core 1e-15 from its pole: its index is ~2e7 i and the search cannot
    # converge on the modes near the cladding index.
    core = Material.sellmeier(B=(1.0,), C=((1.55 * (1 + 1e-15)) ** 2,), name="near_pole")
    s = strip(width=0.5, height=0.22, core=core, cladding=CLADDING)
    with pytest.warns(UserWarning, match="found no physical mode"):
        modes = corvane.solve(s, 1.55, num_modes=1, step=0.08, pml=0.4)
    assert len(modes) == 0 and any(h.kind == "unconverged" for h in modes.hidden)
    assert "did not converge" in caplog.text
    everything = corvane.solve(s, 1.55, num_modes=1, step=0.08, pml=0.4, include_all=True)
    assert all(m.residual <= 1e-6 for m in everything if m.kind in ("guided", "leaky"))


@pytest.mark.parametrize("num_modes", [1, 10**20])
def test_more_modes_than_the_grid_holds_is_refused_before_solving(num_modes):
    s = strip(width=0.5, height=0.22, core=3.48, cladding=CLADDING)
    one_cell = Grid.uniform(x=(-0.25, 0.25), y=(0, 0.22), step=0.5)
    with pytest.raises(ValueError, match=rf"num_modes={num_modes} is more than a grid of 1 x 1 "
                                         r"cells can give \(0 at most\)"):
        corvane.solve(s, 1.55, num_modes=num_modes, grid=one_cell, pml=0)


def test_a_tabulated_material_need_only_hold_at_the_solve_wavelength():
    def index(lam):
        if not 1.3 <= lam <= 1.4:
            raise ValueError(f"the table covers 1.3-1.4 um, asked {lam}")
        return 3.5 - 0.1 * (lam - 1.3)

    s = strip(width=0.5, height=0.22, core=Material(index=index, name="table"), cladding=CLADDING)
    plain = strip(width=0.5, height=0.22, core=index(1.35), cladding=CLADDING)
    tabulated = corvane.solve(s, 1.35, step=0.08, pml=0.4)
    assert np.allclose(tabulated.neff, corvane.solve(plain, 1.35, step=0.08, pml=0.4).neff,
                       atol=1e-12)
    assert np.isfinite(tabulated[0].group_index())  # the group index probes 1.35 um too
    assert corvane.estimate(s, 1.35, step=0.08).cells > 0
    with pytest.raises(ValueError, match=r"index of 'table' cannot be evaluated at wavelength "
                                         r"1.55 um: the table covers 1.3-1.4 um"):
        corvane.solve(s, 1.55, step=0.08)


@pytest.mark.parametrize("configure, expected", [
    ("", "corvane WARNING: point failed\n"),
    ("logging.basicConfig(format='%(name)s|%(message)s')", "corvane|point failed\n"),
])
def test_warnings_reach_stderr_unless_the_application_configured_logging(configure, expected):
    code = f"import logging, corvane\n{configure}\nlogging.getLogger('corvane').warning('point failed')"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.stderr == expected
