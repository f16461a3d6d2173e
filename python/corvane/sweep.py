"""Sweeps: one solve per value of a parameter, with the modes tracked across the values.

`sweep(build, values, wavelength=...)` solves `build(value)` (a Structure) at every value;
`sweep(structure, wavelengths)` sweeps the wavelength itself. The result, a `Sweep`, holds
arrays indexed by (point, tracked mode).

Tracking. The `num_modes` highest modes of the first point, in descending Re(neff), start
the tracks. At every later point each track is matched with one of the new modes by the
largest total normalised Lorentz overlap with its fields at the last point where it was
found (`corvane.tracking`), not by the order of neff, so a mode keeps its identity through
crossings. Every physical mode of a solve (`ModeSet.all_modes`, which holds the extra
modes the eigen solve found) is a candidate, so a mode that drops below another one is
still found. A mode among a point's `num_modes` highest that no track claims (a mode that
appears partway, e.g. TE1 once the core is wide enough) starts a track of its own there,
NaN before; a column that no mode ever fills is reported once as never found. Each track
keeps the label of its first mode (`Sweep.labels`, e.g. "TE0"), or of its first mode
that is not hybrid when it was hybrid near its cutoff. The overlap of each match
is its `confidence`; a match whose runner-up comes within `ambiguity_margin` is logged as a
warning, and a mode whose best overlap falls below `lost_below` is marked lost (NaN).

Reuse (serial sweeps). `corvane.solve` hands the sweep's `_WarmStart` every native solve of
a point, one per sub-problem (the halves of a mirror-symmetric window separately). For each
sub-problem the modes of its last three points are extrapolated to the new value
(`corvane.engine.extrapolated_start`): their sum is the start vector of the eigen iteration
and the shift goes just above the highest of them; an engine `Workspace` keeps the symbolic
factorisation while the operator pattern stays (a wavelength sweep solves every point on
the grid of the longest wavelength). A sub-problem without history on its grid (geometry
sweeps change the grid) gets its shift from the tracked modes' extrapolated neff.

Executors. `executor=` takes any `concurrent.futures.Executor`, for instance
`dask.distributed.Client(...).get_executor()`: the points are solved independently on the
workers (no reuse) and tracked here in order. A failed point is recorded in
`Sweep.failed` with its value and error; it never disappears silently.

Ctrl-C during a sweep stops it and returns the points already solved (`Sweep.cancelled`).
"""

from __future__ import annotations

import collections
import dataclasses
import json
import logging
import math
import sys
import threading
import time
import traceback
from dataclasses import dataclass, field

import numpy as np

from corvane import engine, refine
from corvane.dispersion import group_index as group_index_of, gvd_ps_per_nm_km
from corvane.geometry import Structure
from corvane.grid import Grid
from corvane.inputs import check_request
from corvane.io import check, file_faults, read_npz, save_npz
from corvane.modes import Mode, ModeContext
from corvane.problem import automatic_grid
from corvane.solve import solve
from corvane.tracking import TRANSVERSE, assign_max, normalised_overlaps

__all__ = ["sweep", "Sweep", "FailedPoint", "load_sweep"]

log = logging.getLogger("corvane")

_FORMAT = "corvane-sweep-1"
_COMPONENTS = ("ex", "ey", "ez", "hx", "hy", "hz")
# Axis titles of the plotted quantities.
_QUANTITIES = {"neff": "Re(neff)", "ng": "group index", "loss": "loss (dB/cm)",
               "gvd": "GVD (ps/(nm km))"}


@dataclass(frozen=True)
class FailedPoint:
    """A sweep point whose solve raised: its position in the input, value and error text."""

    index: int
    value: float
    error: str


@dataclass(frozen=True, eq=False)
class Sweep:
    """Result of `corvane.sweep`: arrays indexed by (point, tracked mode).

    parameter: name of the swept quantity ("wavelength" for wavelength sweeps).
    values: (P,) swept values of the solved points, in input order (failed points absent).
    wavelength: (P,) vacuum wavelength of each point, micrometres.
    neff: (P, M) complex effective indices; NaN where a tracked mode was not found.
    confidence: (P, M) normalised overlap of each match with the same mode at the previous
        point where it was found (1 at the first point, 0 where lost).
    group_index: (P, M) group index of the tracked modes, or None when not requested.
    neff_error: (P, M) the estimated error of each neff (`Mode.neff_error`) of a sweep with
        accuracy=, or None; NaN where a mode was lost.
    mode_index: (P, M) index of the tracked mode among that point's candidates
        (`corvane.sweep.candidates`: its physical modes by descending Re(neff)), -1 where lost.
    labels: (M,) the label of each track, from its first mode ("TE0", "TM0", ...; "" for a
        column no mode ever filled).
    tracked_modes: (P, M) the `Mode` of every tracked point (None where lost), kept with
        keep_fields=True (the default) and written by `save`.
    failed: the points whose solve raised, with value and error.
    cancelled: True when the sweep was interrupted (Ctrl-C) before its last point.
    operator_applications: (P,) operator applications of each eigen solve (-1 if unknown).
    seconds: (P,) wall time of each point's solve.
    mode_sets: the ModeSet of every point (with keep_modes=True; in memory, not saved).

    >>> s = corvane.sweep(strip, np.linspace(1.5, 1.6, 11), num_modes=2)  # doctest: +SKIP
    >>> s.neff[:, 0]                                                        # doctest: +SKIP
    """

    parameter: str
    values: np.ndarray
    wavelength: np.ndarray
    neff: np.ndarray
    confidence: np.ndarray
    mode_index: np.ndarray
    group_index: np.ndarray | None = None
    neff_error: np.ndarray | None = None
    failed: tuple[FailedPoint, ...] = ()
    cancelled: bool = False
    operator_applications: np.ndarray | None = None
    seconds: np.ndarray | None = None
    mode_sets: tuple = field(default=(), repr=False)
    labels: tuple = ()
    tracked_modes: tuple = field(default=(), repr=False)

    def __len__(self) -> int:
        return len(self.values)

    @property
    def num_tracked(self) -> int:
        """Number of tracked modes M."""
        return self.neff.shape[1]

    @property
    def loss_db_per_cm(self) -> np.ndarray:
        """(P, M) propagation loss in dB/cm from Im(neff): 20 log10(e) k0 Im(neff) 1e4 um,
        never negative (as `Mode.loss_db_per_cm`: |Im(neff)| below the solve's floor, 1e-9,
        is noise of either sign)."""
        k0 = 2.0 * math.pi / self.wavelength[:, None]
        return np.maximum(20.0 / math.log(10.0) * k0 * np.imag(self.neff) * 1e4, 0.0)

    def mode(self, point: int, tracked: int):
        """The Mode of tracked mode `tracked` at point `point` (None where it was lost)."""
        if not self.tracked_modes:
            raise ValueError("this Sweep keeps no mode fields (it was made with "
                             "keep_fields=False); solve the point again")
        return self.tracked_modes[point][tracked]

    @property
    def found(self) -> np.ndarray:
        """(M,) True for the tracks found at one point at least."""
        return np.any(np.isfinite(self.neff), axis=0)

    def label(self, tracked: int) -> str:
        """The name of a track for legends: its label, or "mode k" when it has none."""
        text = self.labels[tracked] if tracked < len(self.labels) else ""
        return text or f"mode {tracked}"

    def plot(self, quantity: str = "neff", ax=None, *, label: str | None = None):
        """Plot Re(neff) ("neff"), group index ("ng"), loss ("loss", dB/cm) or group-velocity
        dispersion ("gvd", ps/(nm km), a wavelength sweep; from the group index if held) of every
        track found against the swept value, the legend by mode label. `label` titles the
        x axis (default the parameter name, with its unit for the wavelength).
        Returns the matplotlib Axes.

        >>> s.plot("ng", label="core width (µm)")   # doctest: +SKIP
        """
        import matplotlib.pyplot as plt

        if quantity not in _QUANTITIES:
            raise ValueError(f"quantity must be one of {tuple(_QUANTITIES)}, got {quantity!r}")
        if quantity == "neff":
            data = np.real(self.neff)
        elif quantity == "loss":
            data = self.loss_db_per_cm
        elif quantity == "ng":
            if self.group_index is None:
                raise ValueError("this Sweep has no group index: run sweep(..., group_index=True)")
            data = np.real(self.group_index)
        if quantity == "gvd":
            data = gvd_ps_per_nm_km(self)
        if ax is None:
            _, ax = plt.subplots()
        for m in np.flatnonzero(self.found):
            ax.plot(self.values, data[:, m], marker=".", label=self.label(m))
        default = "wavelength (µm)" if self.parameter == "wavelength" else self.parameter
        ax.set_xlabel(default if label is None else label)
        ax.set_ylabel(_QUANTITIES[quantity])
        ax.grid(True, alpha=0.3)
        if np.any(self.found):
            ax.legend()
        return ax

    def save(self, path) -> None:
        """Write the arrays, labels and metadata to an .npz file, with the fields of every
        tracked point when the Sweep keeps them (`tracked_modes`), atomically: an existing
        file is replaced only once the new one is complete.

        >>> s.save("sweep.npz"); corvane.load_sweep("sweep.npz")   # doctest: +SKIP
        """
        meta = {
            "format": _FORMAT,
            "parameter": self.parameter,
            "cancelled": self.cancelled,
            "failed": [dataclasses.asdict(f) for f in self.failed],
            "labels": list(self.labels),
            "tracked": _mode_records(self.tracked_modes),
        }
        arrays = {
            "values": self.values, "wavelength": self.wavelength, "neff": self.neff,
            "confidence": self.confidence, "mode_index": self.mode_index,
        }
        for key in ("group_index", "neff_error"):
            if getattr(self, key) is not None:
                arrays[key] = getattr(self, key)
        if self.operator_applications is not None:
            arrays["operator_applications"] = self.operator_applications
        if self.seconds is not None:
            arrays["seconds"] = self.seconds
        arrays.update(_field_arrays(self.tracked_modes))
        save_npz(path, {"meta": np.array(json.dumps(meta)), **arrays}, compressed=False)

    @classmethod
    def load(cls, path) -> "Sweep":
        """Read a Sweep written by `save`. Raises FileFormatError (a ValueError) for any file
        that is not a sound corvane sweep file."""
        meta, arrays = read_npz(path, _FORMAT, "sweep")
        with file_faults(path):
            return cls._from_file(meta, arrays, path)

    @classmethod
    def _from_file(cls, meta: dict, arrays: dict, path) -> "Sweep":
        for key in ("values", "wavelength", "neff", "confidence", "mode_index"):
            check(key in arrays, path, f"the array {key!r} is missing")
        values, wavelength = arrays["values"], arrays["wavelength"]
        points = values.shape[:1]
        check(values.ndim == 1 and values.dtype.kind in "fi" and np.all(np.isfinite(values)),
              path, "values must be a 1-d array of finite numbers")
        check(wavelength.shape == points and wavelength.dtype.kind in "fi"
              and np.all(np.isfinite(wavelength)) and np.all(wavelength > 0), path,
              "wavelength must hold one positive length (micrometres) per point")
        neff = arrays["neff"]
        check(neff.ndim == 2 and neff.shape[0] == points[0] and neff.dtype.kind in "fc", path,
              f"neff has shape {neff.shape}; expected (points, modes) with {points[0]} points")
        check(not np.any(np.isinf(neff)), path, "neff has infinite entries")
        shape = neff.shape
        per_mode = ("confidence", "mode_index", "group_index", "neff_error")
        for key, kinds in (("confidence", "f"), ("mode_index", "i"), ("group_index", "fc"),
                           ("neff_error", "f"), ("operator_applications", "i"), ("seconds", "f")):
            if key in arrays:
                expected = shape if key in per_mode else points
                check(arrays[key].shape == expected and arrays[key].dtype.kind in kinds, path,
                      f"{key} has shape {arrays[key].shape} ({arrays[key].dtype}); "
                      f"expected {expected}")
        index = arrays["mode_index"]
        check(bool(np.all((index >= 0) == np.isfinite(neff))), path,
              "mode_index and neff disagree on which modes were found")
        get = lambda key: np.array(arrays[key]) if key in arrays else None  # noqa: E731
        neff = get("neff").astype(complex)
        return cls(
            parameter=str(meta["parameter"]), values=get("values"), wavelength=get("wavelength"),
            neff=neff, confidence=get("confidence"), mode_index=get("mode_index"),
            group_index=get("group_index"), neff_error=get("neff_error"),
            failed=tuple(FailedPoint(index=int(f["index"]), value=float(f["value"]),
                                     error=str(f["error"])) for f in meta["failed"]),
            cancelled=bool(meta["cancelled"]),
            operator_applications=get("operator_applications"), seconds=get("seconds"),
            labels=tuple(str(label) for label in meta.get("labels", ())),
            tracked_modes=_modes_from_arrays(arrays, neff, get("wavelength"),
                                             meta.get("tracked", []), path),
        )


def load_sweep(path) -> Sweep:
    """Read a Sweep saved with `Sweep.save`."""
    return Sweep.load(path)


def _field_arrays(tracked_modes) -> dict:
    """The arrays of the tracked modes' fields for `Sweep.save`: per point p its grid edges
    and PML cells ("p3/x_edges", "p3/pml_mask"), per tracked mode t its six components
    ("p3/t1/ey"). Modes without a grid (test doubles) are left out."""
    arrays = {}
    for p, row in enumerate(tracked_modes):
        for t, mode in enumerate(row):
            if mode is None or getattr(mode, "context", None) is None:
                continue
            if f"p{p}/x_edges" not in arrays:
                arrays[f"p{p}/x_edges"] = np.asarray(mode.grid.x_edges)
                arrays[f"p{p}/y_edges"] = np.asarray(mode.grid.y_edges)
                arrays[f"p{p}/pml_mask"] = np.asarray(mode.context.pml_mask)
            for c in _COMPONENTS:
                arrays[f"p{p}/t{t}/{c}"] = np.asarray(getattr(mode, c))
    return arrays


def _mode_records(tracked_modes) -> list:
    """Per point the structure (its description, or None) and per tracked mode its label,
    kind and parity (None where lost), for the file's metadata."""
    out = []
    for row in tracked_modes:
        found = [m for m in row if m is not None and getattr(m, "context", None) is not None]
        try:
            structure = found[0].structure.to_dict() if found else None
        except Exception:  # noqa: BLE001 - a material without a description (a callable)
            structure = None
        out.append({"structure": structure, "modes": [
            None if m is None else {"label": getattr(m, "label", ""),
                                    "kind": getattr(m, "kind", ""),
                                    "parity": [list(p) for p in getattr(m, "parity", ())]}
            for m in row]})
    return out


def _modes_from_arrays(data: dict, neff, wavelength, records, path) -> tuple:
    """The (P, M) tracked modes written by `_field_arrays` with their `_mode_records` (None
    where absent); () when the file holds no fields."""
    if neff is None or not any("/" in k for k in data):
        return ()
    rows = []
    for p in range(neff.shape[0]):
        row = [None] * neff.shape[1]
        if f"p{p}/x_edges" in data:
            record = records[p]
            structure = record["structure"] and Structure.from_dict(record["structure"])
            grid = Grid(data[f"p{p}/x_edges"], data[f"p{p}/y_edges"])
            cells = (len(grid.x_edges) - 1, len(grid.y_edges) - 1)
            context = ModeContext(grid=grid, structure=structure, wavelength=float(wavelength[p]),
                                  pml_mask=np.array(data[f"p{p}/pml_mask"]))
            for t in range(neff.shape[1]):
                if f"p{p}/t{t}/ex" in data:
                    for c in _COMPONENTS:
                        field = data[f"p{p}/t{t}/{c}"]
                        check(field.shape == cells and bool(np.all(np.isfinite(field))), path,
                              f"the {c} field of point {p}, mode {t} does not fit its grid "
                              "or is not finite")
                    info = record["modes"][t]
                    row[t] = Mode(neff=complex(neff[p, t]), context=context,
                                  label=info["label"], kind=info["kind"],
                                  parity=tuple(tuple(q) for q in info["parity"]),
                                  **{c: np.array(data[f"p{p}/t{t}/{c}"]) for c in _COMPONENTS})
        rows.append(tuple(row))
    return tuple(rows)


# --- one point -------------------------------------------------------------------------

@dataclass(frozen=True)
class _Point:
    """Everything needed to solve one point, picklable for executors."""

    build: object  # callable value -> Structure, or a Structure (wavelength sweeps)
    value: float
    wavelength: float
    num_modes: int
    options: dict
    group_index: bool


def _solve_point(point: _Point):
    """Solve one point; returns (ModeSet, group indices of its candidates or None, seconds,
    operator applications of its eigen solves or -1)."""
    start = time.perf_counter()
    structure = point.build(point.value) if callable(point.build) else point.build
    options = dict(point.options)
    warm = options.setdefault("warm_start", _WarmStart(point.num_modes, reuse=False))
    if warm.value is None:
        warm.value = point.value
    modes = solve(structure, point.wavelength, num_modes=point.num_modes, **options)
    modes.settings.pop("warm_start", None)  # an aid of this sweep, not a solve setting
    ng = None
    if point.group_index:
        # The modes below the cut are rarely tracked: `accept` completes those that are.
        ng = np.full(len(candidates(modes)), np.nan + 0j)
        for j, m in enumerate(candidates(modes)[:point.num_modes]):
            ng[j] = group_index_of(m, mode_set=modes)
    applications = warm.applications if warm.applications > 0 else -1
    return modes, ng, time.perf_counter() - start, applications


def _error_text(exc: BaseException) -> str:
    return "".join(traceback.format_exception_only(type(exc), exc)).strip()


# --- tracking --------------------------------------------------------------------------

def candidates(mode_set) -> list:
    """The modes a point offers to the tracking: every physical mode its solve found."""
    every = getattr(mode_set, "all_modes", None) or tuple(mode_set)
    physical = [m for m in every if getattr(m, "kind", "guided") in ("guided", "leaky")]
    return sorted(physical, key=lambda m: -np.real(m.neff))


def _fields(mode) -> dict:
    return {c: np.asarray(getattr(mode, c)) for c in TRANSVERSE}


class _Tracker:
    """Online assignment of each point's modes to the tracks; new tracks for the modes among
    a point's `num_modes` highest that no track claims."""

    def __init__(self, num_modes: int, ambiguity_margin: float, lost_below: float):
        self.num_modes = num_modes
        self.margin = ambiguity_margin
        self.lost_below = lost_below
        self.reference: list[dict] = []  # fields of each track where it was last found
        self.reference_grid: list = []
        self.labels: list[str] = []  # the first label of each track that is not "hybrid"

    def assign(self, mode_set, grid, value) -> tuple[np.ndarray, np.ndarray]:
        """(mode_index, confidence) of this point, one entry per track known so far."""
        modes = candidates(mode_set)
        index = np.full(len(self.reference), -1)
        confidence = np.zeros(len(self.reference))
        if self.reference and modes:
            offered = [_fields(mode) for mode in modes]
            scores = np.array([normalised_overlaps([ref], offered, grid, ref_grid)[0]
                               for ref, ref_grid in zip(self.reference, self.reference_grid)])
            for m, j in assign_max(scores):
                best = scores[m, j]
                if best < self.lost_below:
                    log.warning("sweep at %s: tracked mode %s lost (best overlap %.2f)", value,
                                self.labels[m] or m, best)
                    continue
                index[m], confidence[m] = j, best
                rivals = np.concatenate([np.delete(scores[m], j), np.delete(scores[:, j], m)])
                runner_up = float(rivals.max()) if rivals.size else 0.0
                if runner_up > best - self.margin:
                    log.warning("sweep at %s: tracking of mode %s is ambiguous (overlap %.2f, "
                                "runner-up %.2f); refine the sweep near this value",
                                value, self.labels[m] or m, best, runner_up)
        claimed = set(index[index >= 0].tolist())
        for j in range(min(self.num_modes, len(modes))):
            if j not in claimed:  # a mode that appears here: a track of its own
                self.reference.append(None)
                self.reference_grid.append(None)
                self.labels.append(self._unique(getattr(modes[j], "label", "")))
                index = np.append(index, j)
                confidence = np.append(confidence, 1.0)
        for m, j in enumerate(index):
            if j >= 0:
                self.reference[m] = _fields(modes[j])
                self.reference_grid[m] = grid
                label = getattr(modes[j], "label", "")
                if self.labels[m].startswith("hybrid") and label and not label.startswith("hybrid"):
                    # Near its cutoff a mode is hybrid; it is named once its polarisation shows.
                    self.labels[m] = self._unique(label)
        return index, confidence

    def _unique(self, label: str) -> str:
        """The label, with a count when a track of that name exists (a mode lost and found
        again, or one whose label changed at a crossing)."""
        if not label or label not in self.labels:
            return label
        k = 2
        while f"{label} ({k})" in self.labels:
            k += 1
        return f"{label} ({k})"


# --- reuse -------------------------------------------------------------------------------

def _distinct_last(pairs: list, count: int = 3) -> list:
    """The last `count` (x, y) pairs with distinct x, the newest for a revisited x, in order:
    a sweep that comes back to a value must not give the interpolation two equal nodes."""
    kept: dict = {}
    for x, y in reversed(pairs):
        if len(kept) == count:
            break
        kept.setdefault(x, y)
    return list(reversed(kept.items()))


def _extrapolate(xs: list[float], ys: list, x: float):
    """Value at x of the polynomial through the last (up to three) points (xs, ys) with
    distinct xs."""
    xs, ys = zip(*_distinct_last(list(zip(xs, ys))))
    if len(xs) == 1:
        return ys[0]
    result = 0
    for i, (xi, yi) in enumerate(zip(xs, ys)):
        weight = 1.0
        for j, xj in enumerate(xs):
            if j != i:
                weight *= (x - xj) / (xi - xj)
        result = result + weight * yi
    return result


class _Predictor:
    """Effective indices of the tracked modes at the last points, for the next shift."""

    def __init__(self, num_tracked: int):
        self.values: list[list[float]] = [[] for _ in range(num_tracked)]
        self.neffs: list[list[complex]] = [[] for _ in range(num_tracked)]

    def record(self, value, mode_set, index) -> None:
        modes = candidates(mode_set)
        for _ in range(len(index) - len(self.values)):  # tracks started at this point
            self.values.append([])
            self.neffs.append([])
        for m, k in enumerate(index):
            if k < 0:
                continue
            pairs = _distinct_last(list(zip(self.values[m], self.neffs[m]))
                                   + [(float(value), modes[k].neff)])
            self.values[m] = [x for x, _ in pairs]
            self.neffs[m] = [n for _, n in pairs]

    def neff_guess(self, value) -> float | None:
        """Just above the highest predicted Re(neff): the solve then finds the tracked modes
        (and the next ones below them) first, and converges fastest on them."""
        predictions = [np.real(_extrapolate(x, n, value)) for x, n in zip(self.values, self.neffs) if x]
        if not predictions:
            return None
        top, bottom = max(predictions), min(predictions)
        return float(top + max(1e-3, 0.05 * (top - bottom)))


class _WarmStart:
    """Reuse between the eigen solves of a serial sweep, and the count of operator
    applications of each point.

    `corvane.solve` hands this object (keyword `warm_start`) to every native solve of a point,
    one per sub-problem (the halves of a mirror-symmetric window have their own). For each
    sub-problem it keeps an engine `Workspace` (the symbolic factorisation of its operator
    pattern) and the engine results of the last three points, from which
    `corvane.engine.extrapolated_start` predicts the start vector of the next point.
    Only the sub-problems of the last few grids are kept (`KEPT_SUB_PROBLEMS`): a geometry
    sweep changes the grid at almost every point, and what it kept for the old grids would
    otherwise grow with the sweep.
    """

    KEPT_SUB_PROBLEMS = 8  # two grids of four mirror sub-problems each

    def __init__(self, num_tracked: int, reuse: bool):
        self.reuse = reuse
        self.predictor = _Predictor(num_tracked)
        self.value = None
        self.applications = 0
        self._history: collections.OrderedDict = collections.OrderedDict()
        self._workspaces: collections.OrderedDict = collections.OrderedDict()
        self._started: set = set()
        self._lock = threading.Lock()

    def options(self, value, opts: dict, first: bool) -> dict:
        """Solve options of the point at `value`: this object, which `corvane.solve` asks
        for the options of each sub-problem."""
        self.value = float(value)
        self.applications = 0
        self._started = set()
        opts = dict(opts)
        opts["warm_start"] = self
        return opts

    def record(self, value, mode_set, index) -> None:
        self.predictor.record(value, mode_set, index)

    def before(self, key) -> dict:
        """Engine options of one sub-problem (called by corvane.solve): its shift just above
        the highest of its modes extrapolated from the last points, the sum of those modes
        as start vector, and its workspace."""
        if self.reuse is False:
            return {}
        with self._lock:
            workspace = self._workspaces.setdefault(key, engine.Workspace())
            self._workspaces.move_to_end(key)
            self._forget_old(self._workspaces)
            history = [(v, r) for v, r in self._history.get(key, []) if v != self.value]
            first = key not in self._started
            self._started.add(key)
        options = {"workspace": workspace} if self.reuse is True else {}
        if not first:
            # A further solve of this sub-problem at this point (more modes, or one mode
            # refined at its own shift): only the symbolic factorisation carries over.
            return options
        if history:
            vector, neffs = engine.extrapolated_start(
                [v for v, _ in history], [r for _, r in history], self.value,
                formulation="tensorial" if key[-1] else "diagonal")
            if self.reuse is True:
                options["initial_vector"] = vector
            if len(neffs):
                # The eigen search returns the modes nearest the shift: just above the top
                # one, the window's highest modes come first and converge fastest.
                top = float(np.max(np.real(neffs)))
                options["shift"] = top + max(1e-3, 2e-3 * top)
        else:
            # A sub-problem not seen on this grid yet (the grid changes in a geometry
            # sweep): the tracked modes' extrapolated neff still place the shift.
            guess = self.predictor.neff_guess(self.value)
            if guess is not None:
                options["shift"] = guess
        return options

    def after(self, key, result) -> None:
        """Record one sub-problem's engine result (called by corvane.solve)."""
        with self._lock:
            self.applications += int(getattr(result, "operator_applications", 0))
            if self.reuse is not False:
                history = self._history.get(key, [])
                if history and history[-1][0] == self.value:
                    # Keep the richest solve of this point (a refinement asks one mode).
                    if len(result.neffs) < len(history[-1][1].neffs):
                        return
                    history = history[:-1]
                self._history[key] = _distinct_last(history + [(self.value, result)])
                self._history.move_to_end(key)
                self._forget_old(self._history)

    def _forget_old(self, kept: collections.OrderedDict) -> None:
        while len(kept) > self.KEPT_SUB_PROBLEMS:
            kept.popitem(last=False)


# --- the sweep -------------------------------------------------------------------------

def _check_values(values) -> np.ndarray:
    try:
        v = np.asarray(values, dtype=float)
    except (TypeError, ValueError):
        raise TypeError("values must be a sequence of real numbers (the swept values)") from None
    if v.ndim != 1 or v.size == 0:
        raise ValueError(f"values must be a non-empty 1-d sequence, got shape {v.shape}")
    if not np.all(np.isfinite(v)):
        raise ValueError("values must be finite numbers")
    return v


def _progress_bar(total: int, progress, parameter: str):
    from tqdm.auto import tqdm

    # By default on a terminal only: logs and pipes get no bar.
    disable = (not sys.stderr.isatty()) if progress is None else not progress
    return tqdm(total=total, desc=f"sweep {parameter}", unit="pt", disable=disable, leave=False)


def sweep(build, values, *, wavelength: float | None = None, num_modes: int = 1,
          parameter: str | None = None, reuse: bool | str = True,
          executor=None, progress: bool | None = None, group_index: bool = False,
          keep_modes: bool = False, keep_fields: bool = True,
          ambiguity_margin: float = 0.2, lost_below: float = 0.3,
          **solve_options) -> Sweep:
    """Solve a structure at every swept value and track its modes across the values.

    build: a callable value -> `Structure` (the swept value is a geometry parameter, in
        micrometres if it is a length), or a `Structure` to sweep the wavelength itself.
    values: the swept values, in order (the wavelengths in micrometres for a wavelength
        sweep).
    wavelength: vacuum wavelength in micrometres for a geometry sweep (leave None for a
        wavelength sweep).
    num_modes: number of modes to track: the first point's highest-index modes, and any
        mode that later ranks among a point's `num_modes` highest gets a track of its own
        (so `Sweep.neff` may have more columns). Every physical mode a solve found
        (`ModeSet.all_modes`) is a candidate for the tracking, so a tracked mode that drops
        below another one is still found.
    parameter: name of the swept quantity for plots and files (default "wavelength" or
        "value").
    reuse: predict the shift and start vector and keep the symbolic factorisation from
        point to point (serial sweeps only; results are the same up to the solver
        tolerance); "shift" predicts the shift only; False solves every point cold.
    executor: a `concurrent.futures.Executor` (e.g. `dask.distributed.Client.get_executor()`)
        to solve the points in parallel; they come back and are tracked in order.
    progress: show a tqdm progress bar (None: only when stderr is a terminal).
    group_index: also compute the group index of every tracked mode
        (`corvane.dispersion.group_index`, method "auto").
    keep_modes: keep every point's whole ModeSet in the result (`Sweep.mode_sets`).
    keep_fields: keep the Mode of every tracked point (`Sweep.mode`, `Sweep.tracked_modes`;
        written by `Sweep.save`); False keeps only the arrays, to save memory.
    ambiguity_margin, lost_below: tracking thresholds on the normalised overlap (a match
        whose runner-up is within the margin is logged as ambiguous; a best overlap below
        `lost_below` marks the mode lost at that point).
    solve_options: passed to `corvane.solve` (step, grid, accuracy, pml, symmetry,
        bend_radius, ...). Without step or grid every point is solved to `accuracy` (default
        1e-3, see `corvane.solve`); a wavelength sweep keeps one window and one family of
        grids for all its points.

    Ctrl-C stops the sweep and returns the points solved so far (`cancelled=True`). A point
    that raises is recorded in `failed` with its value and error; the sweep goes on.

    >>> from corvane.geometry import strip
    >>> widths = np.linspace(0.4, 0.8, 9)
    >>> s = corvane.sweep(lambda w: strip(width=w, height=0.22), widths,
    ...                   wavelength=1.55, num_modes=3, step=0.02)       # doctest: +SKIP
    >>> s.neff.shape                                                     # doctest: +SKIP
    (9, 3)
    """
    values = _check_values(values)
    wavelength_sweep = isinstance(build, Structure)
    if wavelength_sweep:
        if wavelength is not None:
            raise ValueError("a Structure as first argument sweeps the wavelength itself: give "
                             "the wavelengths (micrometres) as values and leave wavelength=None")
        if np.any(values <= 0):
            raise ValueError("values are wavelengths here and must be positive (micrometres)")
    elif callable(build):
        if wavelength is None:
            raise TypeError("sweep(build, values) needs wavelength= (micrometres) when build is "
                            "a function of the swept value")
        if not wavelength > 0:
            raise ValueError(f"wavelength must be positive (micrometres), got {wavelength!r}")
    else:
        raise TypeError("build must be a function value -> Structure, or a Structure for a "
                        f"wavelength sweep; got {type(build).__name__}")
    if isinstance(num_modes, bool) or not isinstance(num_modes, (int, np.integer)) or num_modes < 1:
        raise ValueError(f"num_modes must be a positive int, got {num_modes!r}")
    if reuse not in (True, False, "shift"):
        raise ValueError(f"reuse must be True, False or 'shift', got {reuse!r}")
    if executor is not None and not hasattr(executor, "submit"):
        raise TypeError("executor must be a concurrent.futures.Executor (with submit), e.g. "
                        f"dask.distributed.Client(...).get_executor(); got {type(executor).__name__}")
    for key in ("num_modes", "wavelength", "structure"):
        if key in solve_options:
            raise TypeError(f"sweep() sets {key!r} of every solve itself; remove it from the "
                            "solve options")
    parameter = parameter or ("wavelength" if wavelength_sweep else "value")
    wavelengths = values if wavelength_sweep else np.full(len(values), float(wavelength))
    options = dict(solve_options)
    if wavelength_sweep and options.get("grid") is None:
        # One grid for every wavelength: the discretisation does not jump between points
        # (a smooth neff(lambda) for dispersion) and the operator pattern stays the same.
        # The solve's own automatic grid at the longest wavelength (the widest field, so the
        # widest window); without a step, the first grid of the accuracy series, so that every
        # point refines the same family. The PML is the longest wavelength's too.
        if options.get("step") is None and options.get("accuracy") is None:
            options["accuracy"] = refine.DEFAULT_ACCURACY
        options["grid"], request = _fixed_grid(build, values, options)
        options.pop("step", None)
        if isinstance(options.get("pml", "auto"), str):
            options["pml"] = request.pml

    def point(k: int, opts: dict) -> _Point:
        return _Point(build=build, value=float(values[k]), wavelength=float(wavelengths[k]),
                      num_modes=int(num_modes), options=opts,
                      group_index=group_index)

    tracker = _Tracker(num_modes, ambiguity_margin, lost_below)
    rows: list[tuple] = []  # (k, mode_set, index, confidence, ng, seconds)
    failed: list[FailedPoint] = []
    cancelled = False

    def accept(k: int, mode_set, ng, seconds, applications):
        index, confidence = tracker.assign(mode_set, mode_set.grid, values[k])
        tracked_ng = None
        if ng is not None:
            modes = candidates(mode_set)
            tracked_ng = np.array([np.nan if j < 0 else ng[j] if np.isfinite(ng[j])
                                   else group_index_of(modes[j], mode_set=mode_set)
                                   for j in index], dtype=complex)
        rows.append((k, mode_set, index, confidence, tracked_ng, seconds, applications))
        return index

    def fail(k: int, exc: BaseException):
        text = _error_text(exc)
        log.warning("sweep point %d (%s = %s) failed: %s", k, parameter, values[k], text)
        failed.append(FailedPoint(index=k, value=float(values[k]), error=text))

    bar = _progress_bar(len(values), progress, parameter)
    try:
        if executor is None:
            warm = _WarmStart(num_modes, reuse)
            for k in range(len(values)):
                opts = warm.options(values[k], options, first=not rows)
                try:
                    mode_set, ng, seconds, applications = _solve_point(point(k, opts))
                except KeyboardInterrupt:
                    raise
                except Exception as exc:  # noqa: BLE001 - recorded with its value, never dropped
                    fail(k, exc)
                else:
                    index = accept(k, mode_set, ng, seconds, applications)
                    warm.record(values[k], mode_set, index)
                bar.update(1)
        else:
            futures = [executor.submit(_solve_point, point(k, dict(options)))
                       for k in range(len(values))]
            try:
                for k, fut in enumerate(futures):
                    try:
                        mode_set, ng, seconds, applications = fut.result()
                    except KeyboardInterrupt:
                        raise
                    except Exception as exc:  # noqa: BLE001
                        fail(k, exc)
                    else:
                        accept(k, mode_set, ng, seconds, applications)
                    bar.update(1)
            finally:
                for fut in futures:
                    fut.cancel()
    except KeyboardInterrupt:
        cancelled = True
        log.warning("sweep interrupted after %d of %d points; returning the points solved",
                    len(rows), len(values))
    finally:
        bar.close()
    return _collect(parameter, values, wavelengths, rows, failed, cancelled, tracker,
                    group_index, keep_modes, keep_fields)


def _fixed_grid(structure, wavelengths: np.ndarray, options: dict):
    """The automatic grid of `corvane.solve` at the longest wavelength of the sweep, or at
    the longest one where the materials can be evaluated: a wavelength where they cannot (a
    Sellmeier pole, a table's end) fails as its own point. With an accuracy, the first grid
    of its series. Returns (grid, the checked request it was built for)."""
    candidates = np.unique(wavelengths)[::-1]
    for k, wavelength in enumerate(candidates):
        try:
            request = check_request(structure, float(wavelength), **options)
            if request.accuracy is not None:
                request = refine.first_request(request)
            return automatic_grid(request), request
        except ValueError:
            if k == len(candidates) - 1:
                raise


def _collect(parameter, values, wavelengths, rows, failed, cancelled, tracker,
             with_ng, keep_modes, keep_fields) -> Sweep:
    p = len(rows)
    # At least num_modes columns: the ones no mode ever filled stay NaN and are reported.
    num_tracked = max(tracker.num_modes, len(tracker.labels))
    labels = tuple(tracker.labels) + ("",) * (num_tracked - len(tracker.labels))
    neff = np.full((p, num_tracked), np.nan + 0j)
    error = np.full((p, num_tracked), np.nan)
    confidence = np.zeros((p, num_tracked))
    mode_index = np.full((p, num_tracked), -1)
    ng = np.full((p, num_tracked), np.nan + 0j) if with_ng else None
    apps = np.full(p, -1)
    seconds = np.zeros(p)
    tracked_modes = []
    for row, (k, mode_set, index, conf, tracked_ng, secs, applications) in enumerate(rows):
        modes = candidates(mode_set)
        found = [None] * num_tracked
        for m, j in enumerate(index):
            if j >= 0:
                neff[row, m] = modes[j].neff
                found[m] = modes[j]
                estimated = getattr(modes[j], "neff_error", None)
                if estimated is not None:
                    error[row, m] = estimated
        confidence[row, :len(conf)] = conf
        mode_index[row, :len(index)] = index
        if with_ng:
            ng[row, :len(tracked_ng)] = tracked_ng
        apps[row] = applications
        seconds[row] = secs
        tracked_modes.append(tuple(found))
    for m in range(len(tracker.labels), num_tracked):
        log.warning("sweep: tracked mode %d never found: no point had %d physical modes; "
                    "lower num_modes or extend the sweep", m, m + 1)
    if with_ng and np.all(np.imag(ng[np.isfinite(ng)]) == 0):
        ng = np.real(ng)
    order = [k for k, *_ in rows]
    return Sweep(parameter=parameter, values=values[order], wavelength=wavelengths[order],
                 neff=neff, confidence=confidence, mode_index=mode_index, group_index=ng,
                 neff_error=error if np.any(np.isfinite(error)) else None,
                 failed=tuple(failed), cancelled=cancelled, operator_applications=apps,
                 seconds=seconds,
                 mode_sets=tuple(r[1] for r in rows) if keep_modes else (),
                 labels=labels, tracked_modes=tuple(tracked_modes) if keep_fields else ())
