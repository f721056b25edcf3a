"""Shared fixtures and helpers. ZANTH_PROFILE=stress (`make stress`) runs the harnesses long:
many kills, a long concurrent phase, many more state-machine examples; ZANTH_PROFILE=quick runs
them short (the sanitizer run)."""
import gc
import os
import random
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import HealthCheck, settings

import zanth_vec

PROFILE = os.environ.get("ZANTH_PROFILE", "default")
SCALE = {"quick": 0.3, "default": 1, "stress": 20}[PROFILE]  # kills, seconds, examples
for name, scale in [("quick", 0.3), ("default", 1), ("stress", 20)]:
    settings.register_profile(name, max_examples=int(50 * scale), stateful_step_count=80 if scale > 1 else 30,
                              deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(PROFILE)


@pytest.fixture
def store_path(tmp_path):
    return str(tmp_path / "store")


@pytest.fixture
def open_store(store_path):
    """Opens (or reopens) the test store; keyword arguments go to the constructor."""
    return lambda path=None, **kwargs: zanth_vec.ZanthVec(path or store_path, **kwargs)


@pytest.fixture
def store(open_store):
    return open_store()


@pytest.fixture
def rng():
    seed = int(os.environ.get("ZANTH_TEST_SEED", random.randrange(2**32)))
    print(f"random seed: {seed} (set ZANTH_TEST_SEED={seed} to repeat)")
    return np.random.default_rng(seed)


def read_shard(store_path, shard):
    """Every (key, value) of one shard, read with the lmdb binding once no handle of this
    process holds the store, so tests check the bytes on disk rather than what the store says."""
    import lmdb

    gc.collect()
    env = lmdb.open(os.path.join(store_path, f"shard_{shard}"), readonly=True, lock=False)
    try:
        with env.begin() as txn:
            return list(txn.cursor())
    finally:
        env.close()


def open_files_under(path):
    """This process's descriptors and memory maps that point into `path`."""
    found = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            found.append(os.readlink(f"/proc/self/fd/{fd}"))
        except OSError:
            pass
    with open("/proc/self/maps") as maps:
        found += [line.split()[-1] for line in maps]
    return sorted(f for f in found if f.startswith(path + "/"))


def run_isolated(code, timeout=120, **values):
    """Runs `code` in a new interpreter (numpy as np, zanth_vec and `values` defined) and returns
    its stdout; a crash, a hang or an exception there fails the test."""
    script = "import numpy as np, zanth_vec\n" + "".join(f"{k} = {v!r}\n" for k, v in values.items())
    try:
        done = subprocess.run([sys.executable, "-"], input=script + textwrap.dedent(code),
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(f"child hung for {timeout} s")
    assert done.returncode == 0, f"child ended with {done.returncode}: {done.stderr[-3000:]}"
    return done.stdout


def pytest_configure(config):
    config.addinivalue_line("markers", "wheel: installs the built wheel into a fresh venv")
