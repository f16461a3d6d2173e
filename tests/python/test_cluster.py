"""A sweep on a real dask.distributed LocalCluster (two worker processes on loopback) gives
the serial sweep's results, in order, and reports a failing point with its value."""

import functools

import numpy as np
import pytest

import corvane
from corvane.geometry import strip

distributed = pytest.importorskip("dask.distributed")

WIDTHS = [0.45, 0.5, -0.1, 0.55]  # the negative width fails in the strip builder
BUILD = functools.partial(strip, height=0.22, core=3.48, cladding=1.444)
OPTIONS = dict(wavelength=1.55, num_modes=2, step=0.06, pml=0.4)


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       host="127.0.0.1", dashboard_address=None)
    client = distributed.Client(cluster)
    try:
        yield client
    finally:
        client.close()
        cluster.close()


def test_cluster_sweep_matches_the_serial_sweep_in_order(client):
    serial = corvane.sweep(BUILD, WIDTHS, reuse=False, **OPTIONS)
    remote = corvane.sweep(BUILD, WIDTHS, executor=client.get_executor(), **OPTIONS)
    assert remote.values.tolist() == serial.values.tolist() == [0.45, 0.5, 0.55]
    np.testing.assert_allclose(remote.neff, serial.neff, rtol=0, atol=1e-10)
    np.testing.assert_array_equal(remote.mode_index, serial.mode_index)
    assert np.all(remote.operator_applications > 0)
    for result in (serial, remote):
        (failure,) = result.failed
        assert failure.value == -0.1 and failure.index == 2
        assert "width" in failure.error


def test_a_solved_mode_set_survives_pickling():
    """Results travel back from the workers pickled; a Grid that could not be unpickled
    made the client's future wait forever."""
    import pickle

    modes = corvane.solve(BUILD(0.5), 1.55, num_modes=1, step=0.06, pml=0.4)
    back = pickle.loads(pickle.dumps(modes))
    assert back.grid == modes.grid and back[0].context.grid == modes.grid
    np.testing.assert_array_equal(back[0].ey, modes[0].ey)
