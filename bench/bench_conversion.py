"""Cost of the Python boundary on a 500 x 500 grid (n = 250,000 cells).

1. Argument conversion: a solver call with two material tensors of 9 x n complex tuples.
   eps_tensor carries a tenth, empty component, so the call converts all 25 arguments and
   then stops at the first native step ("tensor must contain 9 flattened components"): the
   time is conversion plus releasing the converted arrays. Reported per complex value
   (18 n values).

2. Result building: the code that turns a ModeSolveResult into the 9-tuple, with 4 modes
   (6 x 4 x n field values plus the per-mode lists). A full solve on this grid would drown
   it, so a small probe extension is compiled from the binding's own result-building header
   and fed a synthetic ModeSolveResult; only the building is timed (the synthetic arrays are
   filled before the clock starts, the tuple is released after it stops). Reported per
   complex field value.

Both report wall time and, for the best run, the calling thread's user and system CPU time:
the system part is the kernel handing out fresh, zeroed pages for the new arrays (native ones
in 1, some 770 MB of Python objects in 2: a tuple and two floats per complex value).

Usage: python bench/bench_conversion.py [repeats]
"""

import importlib.util
import os
import pathlib
import resource
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time

from corvane import _core

NX = NY = 500
N = NX * NY
MODES = 4
ROOT = pathlib.Path(__file__).resolve().parent.parent

PROBE_SOURCE = r"""
#include "python_api_binding_result.hpp"

#include <sys/resource.h>

#include <chrono>

using namespace corvane;

struct CpuTimes {
    double user, system;
};

static CpuTimes thread_cpu() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    const auto seconds = [](timeval t) { return t.tv_sec + 1e-6 * t.tv_usec; };
    return {seconds(usage.ru_utime), seconds(usage.ru_stime)};
}

// build(modes, cells) -> (wall, user CPU, system CPU) seconds spent in result_tuple for a
// synthetic result.
static PyObject* build(PyObject*, PyObject* args) {
    Py_ssize_t modes = 0, cells = 0;
    if (!PyArg_ParseTuple(args, "nn", &modes, &cells)) return nullptr;
    ModeSolveResult result;
    auto component = [&](double base) {
        std::vector<std::vector<Complex>> list;
        for (Py_ssize_t m = 0; m < modes; ++m) {
            std::vector<Complex> values(static_cast<std::size_t>(cells));
            for (Py_ssize_t p = 0; p < cells; ++p) values[p] = {base + p, -base - m};
            list.push_back(std::move(values));
        }
        return list;
    };
    result.fields.ex = component(1.0);
    result.fields.ey = component(2.0);
    result.fields.ez = component(3.0);
    result.fields.hx = component(4.0);
    result.fields.hy = component(5.0);
    result.fields.hz = component(6.0);
    for (Py_ssize_t m = 0; m < modes; ++m) {
        result.neffs.push_back({1.5 - 0.01 * m, 1e-6});
        result.residuals.push_back(1e-12);
        result.diagnostics.mode_powers.push_back(1.0);
        result.diagnostics.self_overlaps.push_back({1.0, 0.0});
    }
    result.backend = "umfpack_arpack";
    result.operator_rows = 2 * static_cast<std::uint64_t>(cells);
    result.operator_nnz = 10 * static_cast<std::uint64_t>(cells);

    const CpuTimes cpu_start = thread_cpu();
    const auto start = std::chrono::steady_clock::now();
    PyObject* tuple = binding::result_tuple(std::move(result));
    const auto stop = std::chrono::steady_clock::now();
    const CpuTimes cpu_stop = thread_cpu();
    if (tuple == nullptr) return nullptr;
    Py_DECREF(tuple);
    return Py_BuildValue("ddd", std::chrono::duration<double>(stop - start).count(),
                         cpu_stop.user - cpu_start.user, cpu_stop.system - cpu_start.system);
}

static PyMethodDef methods[] = {{"build", build, METH_VARARGS, nullptr},
                                {nullptr, nullptr, 0, nullptr}};
static PyModuleDef definition = {PyModuleDef_HEAD_INIT, "result_probe", nullptr, -1, methods,
                                 nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit_result_probe(void) { return PyModule_Create(&definition); }
"""


def conversion_arguments():
    def component(offset):
        return [(float(p) + offset, 0.5 * p) for p in range(N)]

    eps = [component(k) for k in range(9)] + [[]]
    mu = [component(10 + k) for k in range(9)]
    steps_x = [0.01] * NX
    steps_y = [0.01] * NY
    return (NX, NY, steps_x, steps_y, steps_x, steps_y, False, False, eps, mu, 4, 1.5, "+")


def thread_cpu():
    usage = resource.getrusage(resource.RUSAGE_THREAD)
    return usage.ru_utime, usage.ru_stime


def time_conversion(repeats):
    args = conversion_arguments()
    times = []
    for _ in range(repeats):
        user, system = thread_cpu()
        start = time.perf_counter()
        try:
            _core.solve_diagonal_sparse_py(*args)
        except ValueError as err:
            assert str(err) == "tensor must contain 9 flattened components", err
        wall = time.perf_counter() - start
        user_stop, system_stop = thread_cpu()
        times.append((wall, user_stop - user, system_stop - system))
    return times


def load_probe(directory):
    include = sysconfig.get_paths()["include"]
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    source = pathlib.Path(directory) / "result_probe.cpp"
    source.write_text(PROBE_SOURCE)
    target = pathlib.Path(directory) / f"result_probe{suffix}"
    compiler = os.environ.get("CXX", "g++")
    subprocess.run([compiler, "-std=c++20", "-O3", "-DNDEBUG", "-ffp-contract=off", "-fPIC",
                    "-shared", f"-I{ROOT / 'src'}", f"-I{ROOT / 'src' / 'python_api'}", f"-I{include}", str(source), "-o",
                    str(target)], check=True)
    module_spec = importlib.util.spec_from_file_location("result_probe", target)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def report(label, times, values):
    ns = 1e9 / values
    best = min(times)
    print(f"{label}, {values} complex values, {len(times)} runs:")
    print(f"  wall: best {best[0]:.4f} s = {best[0] * ns:.1f} ns per complex value, "
          f"median {statistics.median(t[0] for t in times) * ns:.1f} ns")
    print(f"  thread CPU of the best run: user {best[1] * ns:.1f} ns, "
          f"system {best[2] * ns:.1f} ns per complex value")


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    print(f"grid {NX} x {NY}, n = {N}; Python {sys.version.split()[0]}")
    report("argument conversion (2 tensors of 9 x n)", time_conversion(repeats), 18 * N)
    with tempfile.TemporaryDirectory() as directory:
        probe = load_probe(directory)
        times = [probe.build(MODES, N) for _ in range(repeats)]
    report(f"result building ({MODES} modes, 6 x {MODES} x n fields)", times, 6 * MODES * N)


if __name__ == "__main__":
    main()
