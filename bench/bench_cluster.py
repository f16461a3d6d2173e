"""A 40-structure width sweep of the silicon strip: serial against a two-worker
dask.distributed LocalCluster (processes, one thread each, loopback only).

    .venv/bin/python bench/bench_cluster.py [--structures 40] [--step 0.04]

With two cores shared by everything else on the machine, the cluster can at best halve the
wall time; report the load average printed with the figures.
"""

from __future__ import annotations

import argparse
import functools
import os
import time

import numpy as np

import corvane
from corvane.geometry import strip


def main() -> None:
    from dask.distributed import Client, LocalCluster

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--structures", type=int, default=40)
    parser.add_argument("--step", type=float, default=0.04, help="grid step, um")
    parser.add_argument("--modes", type=int, default=2)
    args = parser.parse_args()

    widths = np.linspace(0.4, 0.8, args.structures)
    build = functools.partial(strip, height=0.22, core=3.48, cladding=1.444)
    options = dict(wavelength=1.55, num_modes=args.modes, step=args.step, progress=False)
    print(f"{args.structures} strips, widths {widths[0]}-{widths[-1]} um, step {args.step} um, "
          f"{args.modes} modes; load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")

    timings = {}
    start = time.perf_counter()
    cold = corvane.sweep(build, widths, reuse=False, **options)
    timings["serial, cold points"] = time.perf_counter() - start
    start = time.perf_counter()
    warm = corvane.sweep(build, widths, reuse=True, **options)
    timings["serial, with reuse"] = time.perf_counter() - start

    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                           dashboard_address=None)
    try:
        with Client(cluster) as client:
            client.run(lambda: __import__("corvane"))  # workers import before the clock
            start = time.perf_counter()
            remote = corvane.sweep(build, widths, executor=client.get_executor(), **options)
            timings["LocalCluster, 2 workers"] = time.perf_counter() - start
    finally:
        cluster.close()

    for label, seconds in timings.items():
        print(f"  {label:<28} {seconds:7.1f} s  ({seconds / args.structures:.2f} s per structure)")
    base = timings["serial, cold points"]
    print(f"  cluster speed-up over serial cold: {base / timings['LocalCluster, 2 workers']:.2f}x")
    print(f"  max |neff| difference cluster vs serial: {np.nanmax(np.abs(remote.neff - cold.neff)):.1e}"
          f"; reuse vs cold: {np.nanmax(np.abs(warm.neff - cold.neff)):.1e}")
    print(f"  failed points: serial {len(cold.failed)}, cluster {len(remote.failed)}")


if __name__ == "__main__":
    main()
