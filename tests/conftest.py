import os
import random

import numpy as np
import pytest

import zanth_vec


@pytest.fixture
def store_path(tmp_path):
    return str(tmp_path / "store")


@pytest.fixture
def open_store(store_path):
    """Opens (or reopens) the test store; keyword arguments go to the constructor."""

    def _open(path=None, **kwargs):
        return zanth_vec.ZanthVec(path or store_path, **kwargs)

    return _open


@pytest.fixture
def store(open_store):
    return open_store()


@pytest.fixture
def rng(request):
    seed = int(os.environ.get("ZANTH_TEST_SEED", random.randrange(2**32)))
    request.node.user_properties.append(("seed", seed))
    print(f"random seed: {seed} (set ZANTH_TEST_SEED={seed} to repeat)")
    return np.random.default_rng(seed)


def read_shard(store_path, shard):
    """Every (key, value) of one shard's database, read with the lmdb binding after the store
    handle is gone, so tests check the bytes on disk rather than what the store reports."""
    import lmdb

    env = lmdb.open(os.path.join(store_path, f"shard_{shard}"), readonly=True, lock=False)
    try:
        with env.begin() as txn:
            return list(txn.cursor())
    finally:
        env.close()


def open_files_under(path):
    """Paths of this process's descriptors and memory maps that point into `path`."""
    found = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            continue
        if target.startswith(path + "/"):
            found.append(target)
    with open("/proc/self/maps") as maps:
        found += [line.split()[-1] for line in maps if (path + "/") in line]
    return found


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "wheel: installs the built wheel into a fresh venv (needs `make wheel`)"
    )
