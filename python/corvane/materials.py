"""Materials: relative permittivity and permeability tensors, possibly dispersive.

A `Material` is an immutable description. Give either a refractive index (`index=`) or a
permittivity (`eps=`), and optionally a permeability (`mu=`, default 1):

- a number (real or complex; Im > 0 is loss with fields ~ exp(i(k0 neff z - omega t))),
- three numbers: a diagonal tensor in the grid axes (x, y, z),
- a 3 x 3 nested sequence (eps and mu only),
- a callable of the vacuum wavelength in micrometres returning one of the above, or a
  `Sellmeier` formula. Each of three diagonal entries may be a callable too.

`eps_tensor(wavelength)` and `mu_tensor(wavelength)` return (3, 3) complex arrays; they are
cheap, so d(omega eps)/d(omega) can be taken by finite differences of the wavelength.

The library (sources of the formulas; all wavelengths in micrometres, room temperature):

- `silicon`: Sellmeier fit of Salzberg and Villa, J. Opt. Soc. Am. 47, 244 (1957),
  valid 1.36-11 um.
- `silica`: Sellmeier formula of Malitson, J. Opt. Soc. Am. 55, 1205 (1965), fused silica,
  valid 0.21-6.7 um.
- `silicon_nitride`: Sellmeier fit of Luke et al., Opt. Lett. 40, 4823 (2015), LPCVD Si3N4,
  valid 0.31-5.5 um.
- `lithium_niobate_ordinary`, `lithium_niobate_extraordinary`: Sellmeier formulas of Zelmon,
  Small and Jundt, J. Opt. Soc. Am. B 14, 3319 (1997), congruent LiNbO3, valid 0.4-5 um.
- `lithium_niobate(optic_axis="z")`: the uniaxial crystal, extraordinary index along the
  optic axis.
- `air`: index 1 (the 2.7e-4 excess of real air is neglected).

Example:
    >>> from corvane.materials import Material, silicon
    >>> round(silicon.index(1.55).real, 3)
    3.478
    >>> complex(Material(index=1.5).eps_tensor(1.55)[0, 0])
    (2.25+0j)
"""

from __future__ import annotations

import contextlib
import contextvars
import logging
import math
import numbers
from dataclasses import dataclass, field
from typing import Any, Callable, Union

import numpy as np

logger = logging.getLogger("corvane")

_AXES = {"x": 0, "y": 1, "z": 2}

# Where the symmetry properties of a dispersive material are probed: the wavelengths of the
# solve in progress (`probing_at`) first, then two defaults.
_DEFAULT_PROBES = (1.0, 1.55)
_probes: contextvars.ContextVar[tuple[float, ...]] = contextvars.ContextVar(
    "corvane_probe_wavelengths", default=_DEFAULT_PROBES)


@contextlib.contextmanager
def probing_at(*wavelengths: float):
    """Within this block, `is_diagonal` and `is_isotropic` evaluate dispersive materials at
    these wavelengths (micrometres) first: a solve probes its own wavelength, so a tabulated
    material needs to be valid only where it is solved."""
    token = _probes.set(tuple(float(w) for w in wavelengths) + _DEFAULT_PROBES)
    try:
        yield
    finally:
        _probes.reset(token)


def check_wavelength(wavelength, name: str = "wavelength") -> float:
    """Return the wavelength as a float after checking it is a plausible length in micrometres."""
    if isinstance(wavelength, bool) or not isinstance(wavelength, numbers.Real):
        raise TypeError(f"{name} must be a real number in micrometres, got {wavelength!r}")
    value = float(wavelength)
    if not math.isfinite(value) or value <= 0:
        raise ValueError(
            f"{name} must be a positive finite length in micrometres, got {wavelength!r}")
    if value < 1e-3:
        raise ValueError(
            f"{name}={wavelength!r} looks like metres; lengths are in micrometres "
            f"(e.g. {name}=1.55 for 1550 nm)"
        )
    return value


@dataclass(frozen=True)
class Sellmeier:
    """The Sellmeier formula n^2 = 1 + sum_i B_i lambda^2 / (lambda^2 - C_i).

    B are dimensionless; C are in square micrometres; lambda is the vacuum wavelength in
    micrometres. Calling it returns the refractive index.

    Example:
        >>> round(Sellmeier(B=(0.6961663,), C=(0.0684043**2,))(1.55), 4)
        1.3029
    """

    B: tuple[float, ...]
    C: tuple[float, ...]

    def __post_init__(self):
        b = tuple(float(v) for v in np.atleast_1d(self.B))
        c = tuple(float(v) for v in np.atleast_1d(self.C))
        if len(b) != len(c) or not b:
            raise ValueError(
                f"Sellmeier needs B and C of the same non-zero length, got {len(b)} and {len(c)}"
            )
        if not all(math.isfinite(v) for v in b + c):
            raise ValueError("Sellmeier coefficients B and C must be finite numbers")
        object.__setattr__(self, "B", b)
        object.__setattr__(self, "C", c)

    def __call__(self, wavelength: float) -> float:
        lam2 = float(wavelength) ** 2
        try:
            n2 = 1.0 + sum(b * lam2 / (lam2 - c) for b, c in zip(self.B, self.C))
        except ZeroDivisionError:
            n2 = math.inf
        if not math.isfinite(n2):
            poles = ", ".join(f"{math.sqrt(c):.6g}" for c in self.C if c > 0)
            raise ValueError(f"the Sellmeier formula has a pole at wavelength {wavelength} um "
                             f"(its poles: {poles} um); use it away from them")
        return math.sqrt(n2) if n2 >= 0 else complex(0.0, math.sqrt(-n2))

    def to_dict(self) -> dict:
        return {"sellmeier": {"B": list(self.B), "C": list(self.C)}}


def _is_number(value) -> bool:
    return isinstance(value, numbers.Number) and not isinstance(value, bool)


def _check_entry(value, what: str):
    """A constant entry must be a finite number; callables are checked when evaluated."""
    if callable(value):
        return value
    if not _is_number(value):
        raise TypeError(f"{what} must be a number or a callable of the wavelength, got {value!r}")
    c = complex(value)
    if not (math.isfinite(c.real) and math.isfinite(c.imag)):
        raise ValueError(f"{what} must be finite, got {value!r}")
    return float(c.real) if c.imag == 0 else c


def _normalise(value, what: str, allow_tensor: bool):
    """Scalar, 3 diagonal entries, 3 x 3 (when allowed), or a callable."""
    if callable(value):
        return value
    if _is_number(value):
        return _check_entry(value, what)
    try:
        arr = np.asarray(value, dtype=object)
    except (TypeError, ValueError):
        arr = None
    if arr is not None and arr.shape == (3,):
        return tuple(_check_entry(v, f"{what}[{k}]") for k, v in enumerate(arr.tolist()))
    if allow_tensor and arr is not None and arr.shape == (3, 3):
        if any(callable(v) for v in arr.ravel()):
            raise TypeError(f"{what}: give a callable returning the whole 3 x 3 tensor instead "
                            "of callables inside it")
        return tuple(
            tuple(_check_entry(arr[r, c], f"{what}[{r}][{c}]") for c in range(3)) for r in range(3)
        )
    shapes = "a number, 3 diagonal values" + (", a 3 x 3 tensor" if allow_tensor else "")
    raise ValueError(f"{what} must be {shapes} or a callable of the wavelength, got {value!r}")


def _evaluate(value, wavelength: float, what: str):
    """The value of a description at a wavelength; a user's function (a table, a formula with
    a pole) failing there is a ValueError naming the material and the wavelength."""
    if not callable(value):
        return value
    try:
        return value(wavelength)
    except (ArithmeticError, ValueError) as exc:
        raise ValueError(f"{what} cannot be evaluated at wavelength {wavelength} um: "
                         f"{exc}") from None


def _tensor_of(value, wavelength: float | None, square: bool, what: str) -> np.ndarray:
    """(3, 3) complex tensor of an eps/mu/index description at one wavelength (None for a
    constant)."""
    where = "" if wavelength is None else f" at wavelength {wavelength} um"
    v = _evaluate(value, wavelength, what)
    if isinstance(v, tuple) and len(v) == 3 and not isinstance(v[0], tuple):
        v = [_evaluate(e, wavelength, what) for e in v]
    a = np.asarray(v, dtype=complex)
    if square:
        a = a * a
    if a.ndim == 0:
        t = np.eye(3, dtype=complex) * a
    elif a.shape == (3,):
        t = np.diag(a)
    elif a.shape == (3, 3) and not square:
        t = a.copy()
    else:
        raise ValueError(
            f"{what}{where} has shape {a.shape}; expected a number, "
            "3 diagonal values or a 3 x 3 tensor"
        )
    if not np.all(np.isfinite(t)):
        raise ValueError(f"{what}{where} is not finite: {t.tolist()}")
    if np.any(np.diag(t) == 0):
        raise ValueError(
            f"{what}{where} has a zero diagonal component "
            f"{np.diag(t).tolist()}; every diagonal component must be non-zero"
        )
    return t


def _rotation_matrix(angle_deg: float, axis: str) -> np.ndarray:
    a = math.radians(angle_deg)
    c, s = math.cos(a), math.sin(a)
    # Snap the exact quarter turns so that rotated diagonal tensors stay exactly diagonal.
    c = round(c) if abs(c - round(c)) < 1e-15 else c
    s = round(s) if abs(s - round(s)) < 1e-15 else s
    i, j = {"x": (1, 2), "y": (2, 0), "z": (0, 1)}[axis]
    r = np.eye(3)
    r[i, i], r[i, j], r[j, i], r[j, j] = c, -s, s, c
    return r


MaterialLike = Union["Material", numbers.Number]


@dataclass(frozen=True, init=False)
class Material:
    """A linear material: relative permittivity and permeability tensors.

    Give `index=` (refractive index: a number, 3 diagonal values, a callable of the
    wavelength in micrometres or a `Sellmeier`) or `eps=` (relative permittivity: a number,
    3 diagonal values, a 3 x 3 tensor or a callable); `mu=` is the relative permeability,
    1 by default. `orientation` is an orthogonal 3 x 3 matrix Q applied as Q eps Q^T; use
    `rotated()` rather than setting it. The given index is kept as `index_value`; the
    method `index(wavelength)` evaluates it.

    Example:
        >>> glass = Material(index=1.45, name="glass")
        >>> lossy = Material(eps=(4 + 0.1j, 4 + 0.1j, 3.9))
        >>> crystal = Material(eps=(4.8, 4.8, 4.6)).rotated(45, axis="z")
    """

    index_value: Any
    eps: Any
    mu: Any
    name: str
    orientation: tuple | None
    source: str = field(compare=False)

    def __init__(self, index=None, *, eps=None, mu=1.0, name: str = "", orientation=None,
                 source: str = ""):
        if (index is None) == (eps is None):
            raise ValueError(
                "Material needs exactly one of index= (refractive index) or eps= (relative "
                "permittivity), e.g. Material(index=1.45)"
            )
        if not isinstance(name, str):
            raise TypeError(f"name must be a str, got {name!r}")
        setattr_ = object.__setattr__.__get__(self)
        setattr_("name", name)
        setattr_("source", str(source))
        if index is not None:
            index = _normalise(index, "index", allow_tensor=False)
            if _is_number(index) and index == 0:
                raise ValueError("index must be non-zero, e.g. index=1.45")
        else:
            eps = _normalise(eps, "eps", allow_tensor=True)
        mu = _normalise(mu, "mu", allow_tensor=True)
        setattr_("index_value", index)
        setattr_("eps", eps)
        setattr_("mu", mu)
        # Constant values are checked once here (finite, no zero diagonal component).
        for what, v, square in (("index", index, True), ("eps", eps, False), ("mu", mu, False)):
            if v is not None and not self._is_callable(v):
                _tensor_of(v, None, square, what)
        if orientation is not None:
            q = np.asarray(orientation, dtype=float)
            if q.shape != (3, 3) or not np.allclose(q @ q.T, np.eye(3), atol=1e-12):
                raise ValueError("orientation must be an orthogonal 3 x 3 matrix; use rotated()")
            orientation = None if np.array_equal(q, np.eye(3)) else tuple(
                tuple(float(v) for v in row) for row in q)
        setattr_("orientation", orientation)

    @staticmethod
    def _is_callable(v) -> bool:
        return callable(v) or (isinstance(v, tuple) and any(callable(e) for e in v))

    @classmethod
    def sellmeier(cls, *, B, C, name: str = "", source: str = "") -> "Material":
        """An isotropic material with n^2 = 1 + sum B_i lambda^2 / (lambda^2 - C_i).

        C in square micrometres, lambda in micrometres.

        Example:
            >>> glass = Material.sellmeier(B=(1.03961212,), C=(0.00600069867,), name="glass")
        """
        return cls(index=Sellmeier(B=B, C=C), name=name, source=source)

    # -- evaluation ----------------------------------------------------------------------

    def _oriented(self, t: np.ndarray) -> np.ndarray:
        if self.orientation is None:
            return t
        q = np.asarray(self.orientation)
        return q @ t @ q.T

    def eps_tensor(self, wavelength: float) -> np.ndarray:
        """Relative permittivity, a (3, 3) complex array, at a vacuum wavelength in micrometres.

        Example:
            >>> complex(Material(index=2.0).eps_tensor(1.55)[2, 2])
            (4+0j)
        """
        lam = check_wavelength(wavelength)
        if self.index_value is not None:
            t = _tensor_of(self.index_value, lam, True, f"index of {self._label()}")
        else:
            t = _tensor_of(self.eps, lam, False, f"eps of {self._label()}")
        return self._oriented(t)

    def mu_tensor(self, wavelength: float) -> np.ndarray:
        """Relative permeability, a (3, 3) complex array, at a wavelength in micrometres."""
        lam = check_wavelength(wavelength)
        return self._oriented(_tensor_of(self.mu, lam, False, f"mu of {self._label()}"))

    def index(self, wavelength: float) -> complex:
        """The refractive index at a wavelength in micrometres.

        Isotropic materials: sqrt(eps mu) (the given index itself when one was given). For an
        anisotropic material the largest real part of sqrt(eps_ii mu_ii) over the three axes.

        Example:
            >>> Material(index=1.45).index(1.55)
            (1.45+0j)
        """
        lam = check_wavelength(wavelength)
        if self.index_value is not None and not isinstance(self.index_value, tuple):
            n = complex(_evaluate(self.index_value, lam, f"index of {self._label()}"))
            mu = self.mu_tensor(lam)
            if np.array_equal(mu, np.eye(3)):
                return n
        eps = np.diag(self.eps_tensor(lam))
        mu = np.diag(self.mu_tensor(lam))
        n = np.sqrt(eps * mu)
        n = np.where(n.imag < 0, -n, n)
        return complex(n[np.argmax(n.real)])

    def _label(self) -> str:
        return repr(self.name) if self.name else "the material"

    @property
    def is_dispersive(self) -> bool:
        """True when any value is a function of the wavelength."""
        return any(self._is_callable(v) for v in (self.index_value, self.eps, self.mu))

    def _probed_tensors(self):
        """(eps, mu) at the probe wavelengths where the material can be evaluated: the
        solve's wavelength (`probing_at`), 1.0 and 1.55 micrometres. A function that fails
        at some of them (a table of limited range) is probed at the others."""
        if not self.is_dispersive:
            return [(self.eps_tensor(1.55), self.mu_tensor(1.55))]
        probed, error = [], None
        for lam in dict.fromkeys(_probes.get()):
            try:
                probed.append((self.eps_tensor(lam), self.mu_tensor(lam)))
            except ValueError as exc:
                error = error or exc  # the first: at the solve's wavelength when there is one
        if not probed:
            raise error
        return probed

    @property
    def is_diagonal(self) -> bool:
        """True when eps and mu have no off-diagonal terms in the grid axes.

        A callable is probed at the wavelength of the solve in progress, 1.0 and 1.55
        micrometres (where it can be evaluated).
        """
        off = ~np.eye(3, dtype=bool)
        return not any(np.any(t[off] != 0) for pair in self._probed_tensors() for t in pair)

    @property
    def is_isotropic(self) -> bool:
        """True when eps and mu are multiples of the identity (probed like is_diagonal)."""
        return all(np.array_equal(t, np.eye(3) * t[0, 0])
                   for pair in self._probed_tensors() for t in pair)

    # -- transformations -----------------------------------------------------------------

    def _transformed(self, q: np.ndarray) -> "Material":
        current = np.eye(3) if self.orientation is None else np.asarray(self.orientation)
        new = q @ current
        if self.is_isotropic:
            return self
        return Material(
            index=self.index_value, eps=self.eps, mu=self.mu, name=self.name, source=self.source,
            orientation=tuple(tuple(float(v) for v in row) for row in new),
        )

    def rotated(self, angle_deg: float, axis: str = "z") -> "Material":
        """The material with its tensors turned by `angle_deg` degrees about `axis`.

        axis is "x", "y" or "z" (right-handed: a positive angle about z turns x towards y).
        eps' = R eps R^T. Isotropic materials are returned unchanged.

        Example:
            >>> ln = lithium_niobate(optic_axis="z").rotated(90, axis="y")  # optic axis along x
        """
        if axis not in _AXES:
            raise ValueError(f"axis must be 'x', 'y' or 'z', got {axis!r}")
        if not math.isfinite(float(angle_deg)):
            raise ValueError(f"angle_deg must be finite, got {angle_deg!r}")
        return self._transformed(_rotation_matrix(float(angle_deg), axis))

    def mirrored(self, axis: str) -> "Material":
        """The material reflected in the plane normal to `axis` ("x", "y" or "z")."""
        if axis not in _AXES:
            raise ValueError(f"axis must be 'x', 'y' or 'z', got {axis!r}")
        q = np.eye(3)
        q[_AXES[axis], _AXES[axis]] = -1.0
        if self.is_diagonal:
            return self
        return self._transformed(q)

    # -- files ---------------------------------------------------------------------------

    def to_dict(self, wavelength: float | None = None) -> dict:
        """A JSON-ready description. Library materials are stored by name.

        A plain callable cannot be stored: it is replaced by its value at `wavelength`
        (micrometres) with a logged warning; without a wavelength that is a ValueError.
        """
        for lib_name, lib in _LIBRARY_ITEMS():
            if lib == self:
                return {"library": lib_name}
        d: dict = {"name": self.name}
        if self.source:
            d["source"] = self.source
        for key, v in (("index", self.index_value), ("eps", self.eps), ("mu", self.mu)):
            if v is None:
                continue
            d[key] = _value_to_json(v, key, wavelength, self)
        if self.orientation is not None:
            d["orientation"] = [list(row) for row in self.orientation]
        return d

    @classmethod
    def from_dict(cls, d: dict) -> "Material":
        """Inverse of `to_dict`."""
        if "library" in d:
            name = d["library"]
            lib = dict(_LIBRARY_ITEMS())
            if name not in lib:
                raise ValueError(f"unknown library material {name!r}; known: {sorted(lib)}")
            return lib[name]
        kwargs = {k: _value_from_json(d[k]) for k in ("index", "eps", "mu") if k in d}
        return cls(**kwargs, name=d.get("name", ""), source=d.get("source", ""),
                   orientation=None if d.get("orientation") is None
                   else tuple(tuple(r) for r in d["orientation"]))




def _value_to_json(v, key: str, wavelength, material: Material):
    def entry(e):
        if isinstance(e, Sellmeier):
            return e.to_dict()
        if callable(e):
            if wavelength is None:
                raise ValueError(
                    f"{key} of {material._label()} is a Python callable, which cannot be stored; "
                    "pass wavelength= (micrometres) to store its value there, or use Sellmeier"
                )
            logger.warning(
                "%s of %s is a callable: stored as its value at %s um", key, material._label(),
                wavelength,
            )
            e = e(check_wavelength(wavelength))
            a = np.asarray(e, dtype=complex)
            return _complex_to_json(a.tolist() if a.ndim else complex(a))
        return _complex_to_json(e)

    if isinstance(v, tuple):
        return [entry(e) if not isinstance(e, tuple) else [entry(x) for x in e] for e in v]
    return entry(v)


def _complex_to_json(v):
    if isinstance(v, list):
        return [_complex_to_json(e) for e in v]
    c = complex(v)
    return c.real if c.imag == 0 else {"re": c.real, "im": c.imag}


def _value_from_json(v):
    if isinstance(v, dict):
        if "sellmeier" in v:
            return Sellmeier(B=tuple(v["sellmeier"]["B"]), C=tuple(v["sellmeier"]["C"]))
        return complex(v["re"], v["im"])
    if isinstance(v, list):
        return tuple(_value_from_json(e) for e in v)
    return v


def as_material(value, name: str = "material") -> Material:
    """A Material stays; a number means a refractive index.

    Example:
        >>> as_material(1.45).index(1.55)
        (1.45+0j)
    """
    if isinstance(value, Material):
        return value
    if _is_number(value):
        return Material(index=value)
    raise TypeError(
        f"{name} must be a corvane.Material or a number (refractive index), got {value!r}"
    )


# -- library -------------------------------------------------------------------------------

silicon = Material.sellmeier(
    B=(10.6684293, 0.0030434748, 1.54133408),
    C=(0.301516485**2, 1.13475115**2, 1104.0**2),
    name="silicon",
    source="Salzberg and Villa, J. Opt. Soc. Am. 47, 244 (1957); 1.36-11 um",
)

silica = Material.sellmeier(
    B=(0.6961663, 0.4079426, 0.8974794),
    C=(0.0684043**2, 0.1162414**2, 9.896161**2),
    name="silica",
    source="Malitson, J. Opt. Soc. Am. 55, 1205 (1965); fused silica, 0.21-6.7 um",
)

silicon_nitride = Material.sellmeier(
    B=(3.0249, 40314.0),
    C=(0.1353406**2, 1239.842**2),
    name="silicon_nitride",
    source="Luke et al., Opt. Lett. 40, 4823 (2015); LPCVD Si3N4, 0.31-5.5 um",
)

_LN_SOURCE = "Zelmon, Small and Jundt, J. Opt. Soc. Am. B 14, 3319 (1997); congruent, 0.4-5 um"
_LN_ORDINARY = Sellmeier(B=(2.6734, 1.2290, 12.614), C=(0.01764, 0.05914, 474.6))
_LN_EXTRAORDINARY = Sellmeier(B=(2.9804, 0.5981, 8.9543), C=(0.02047, 0.0666, 416.08))

lithium_niobate_ordinary = Material(
    index=_LN_ORDINARY, name="lithium_niobate_ordinary", source=_LN_SOURCE
)
lithium_niobate_extraordinary = Material(
    index=_LN_EXTRAORDINARY, name="lithium_niobate_extraordinary", source=_LN_SOURCE
)

air = Material(index=1.0, name="air", source="vacuum value; the 2.7e-4 excess of air is neglected")


def lithium_niobate(optic_axis: str = "z") -> Material:
    """Uniaxial lithium niobate with its optic (extraordinary) axis along x, y or z.

    Zelmon, Small and Jundt, J. Opt. Soc. Am. B 14, 3319 (1997), congruent LiNbO3.

    Example:
        >>> x_cut_te = lithium_niobate(optic_axis="x")  # TE modes see n_e
    """
    if optic_axis not in _AXES:
        raise ValueError(f"optic_axis must be 'x', 'y' or 'z', got {optic_axis!r}")
    entries = [_LN_ORDINARY] * 3
    entries[_AXES[optic_axis]] = _LN_EXTRAORDINARY
    return Material(index=tuple(entries), name=f"lithium_niobate_{optic_axis}", source=_LN_SOURCE)


def _LIBRARY_ITEMS():
    items = [
        ("silicon", silicon), ("silica", silica), ("silicon_nitride", silicon_nitride),
        ("lithium_niobate_ordinary", lithium_niobate_ordinary),
        ("lithium_niobate_extraordinary", lithium_niobate_extraordinary), ("air", air),
    ]
    items += [(f"lithium_niobate_{a}", lithium_niobate(a)) for a in "xyz"]
    return items
