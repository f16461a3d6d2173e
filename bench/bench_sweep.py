"""Wavelength sweep of the silicon strip: operator applications and time per point, cold and
with the reuse of `corvane.sweep` (predicted shift; start vector extrapolated from the last
three points; symbolic factorisation kept per sub-problem).

    .venv/bin/python bench/bench_sweep.py [--points 21] [--spacing-nm 10] [--step 0.02]

The first point of every configuration is a cold solve; the figures per point are over the
remaining points. Timings are wall clock on a shared machine: quote them with the load.
"""

from __future__ import annotations

import argparse
import os
import time

import numpy as np

import corvane
from corvane.geometry import strip
from corvane.materials import silica, silicon

CONFIGURATIONS = (
    ("cold (solve defaults: shift at the core index, fixed start)", False),
    ("predicted shift only", "shift"),
    ("shift + extrapolated start vector + symbolic reuse", True),
)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=21)
    parser.add_argument("--spacing-nm", type=float, default=10.0, help="wavelength spacing")
    parser.add_argument("--step", type=float, default=0.02, help="grid step next to the core, um")
    parser.add_argument("--modes", type=int, default=2, help="tracked modes")
    args = parser.parse_args()

    structure = strip(width=0.5, height=0.22, core=silicon, cladding=silica)
    spacing = args.spacing_nm * 1e-3
    wavelengths = 1.55 + spacing * (np.arange(args.points) - (args.points - 1) / 2)
    print(f"strip 0.5 x 0.22 um Si in SiO2, {args.points} wavelengths "
          f"{wavelengths[0]:.3f}-{wavelengths[-1]:.3f} um every {args.spacing_nm:g} nm, "
          f"grid step {args.step} um, {args.modes} tracked modes; load average "
          f"{os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    results = {}
    for label, reuse in CONFIGURATIONS:
        start = time.perf_counter()
        result = corvane.sweep(structure, wavelengths, num_modes=args.modes, step=args.step,
                               reuse=reuse, progress=False)
        wall = time.perf_counter() - start
        results[label] = result
        apps = result.operator_applications[1:]
        secs = result.seconds[1:]
        print(f"\n{label}")
        print(f"  whole sweep {wall:.1f} s; first point {result.operator_applications[0]} "
              f"applications, {result.seconds[0]:.2f} s")
        print(f"  per later point: {apps.mean():.1f} operator applications (median "
              f"{np.median(apps):.0f}, min {apps.min()}, max {apps.max()}), {secs.mean():.3f} s "
              f"(median {np.median(secs):.3f} s)")
    cold = results[CONFIGURATIONS[0][0]]
    print("\nsummary over points 2..N (operator applications per point, time per point):")
    for label, _ in CONFIGURATIONS:
        r = results[label]
        apps, cold_apps = r.operator_applications[1:], cold.operator_applications[1:]
        secs, cold_secs = r.seconds[1:], cold.seconds[1:]
        dn = np.nanmax(np.abs(r.neff - cold.neff))
        print(f"  {label}: {cold_apps.mean() / apps.mean():.2f}x fewer applications "
              f"(medians: {np.median(cold_apps) / np.median(apps):.2f}x), "
              f"{cold_secs.mean() / secs.mean():.2f}x faster "
              f"(medians: {np.median(cold_secs) / np.median(secs):.2f}x), "
              f"max |neff - cold neff| = {dn:.1e}")
    print("\nneff of the tracked modes (full reuse):")
    best = results[CONFIGURATIONS[-1][0]]
    for wl, row in zip(best.values, best.neff):
        print(f"  {wl:.3f} um  " + "  ".join(f"{n.real:.6f}" for n in row))
    d = corvane.gvd_ps_per_nm_km(best)
    print(f"GVD of mode 0 at the centre from neff: {d[len(d) // 2, 0]:.0f} ps/(nm km)")


if __name__ == "__main__":
    main()
