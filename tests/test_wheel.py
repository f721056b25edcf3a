"""The built wheel (dist/*.whl, or ZANTH_WHEEL), installed into a fresh virtual environment:
what it carries, what the module needs from the system, and a round trip from the installed
copy. Skipped when no wheel was built; the stubs are checked against the module by stubtest."""
import glob
import os
import re
import subprocess
import venv
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
FOUND = sorted(glob.glob(str(ROOT / "dist" / "zanth_vec-*-abi3-*.whl")))
WHEEL = Path(os.environ.get("ZANTH_WHEEL") or (FOUND[-1] if FOUND else "/nonexistent"))
pytestmark = [pytest.mark.wheel, pytest.mark.skipif(not WHEEL.exists(), reason="no wheel built")]
# What every manylinux system provides; anything else must travel inside the wheel.
SYSTEM = re.compile(r"^(libc|libm|libpthread|libdl|librt|libgcc_s|libstdc\+\+|ld-linux-x86-64)\.so(\.\d+)*$")
CLEAN_ENV = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "VIRTUAL_ENV"))} | {
    "PYTHONNOUSERSITE": "1"}
ROUND_TRIP = """
import os, sys, numpy as np, zanth_vec
assert os.path.realpath(zanth_vec.__file__).startswith(os.path.realpath(sys.prefix))
db = zanth_vec.ZanthVec("store", num_shards=3, map_size=1 << 26)
db.store_data([{"n": 3}], [3])
data = np.random.default_rng(7).standard_normal((600, 16)).astype(np.float32)
db.store_flat_vectors(data, list(range(600)))
db.batch_index_insert([("even", i) for i in range(0, 600, 2)])
from zanth.filters import parse  # the companion package imports with NumPy alone
hits = db.search_flat(data[4], db.get_ids_from_filter(parse("even and not odd")), k=1)
del db
again = zanth_vec.ZanthVec("store", num_shards=3, map_size=1 << 26)
assert hits[0][1] == 4 and again.get_data([3]) == [{"n": 3}] and len(again.search_flat(data[0], k=999)) == 600
from zanth import Collection  # on the oldest NumPy the package admits
assert np.__version__.startswith("1."), np.__version__
col = Collection("docs", dim=3)
col.add([1, "b"], [[3, 4, 0], [0, 1, 1]], [{"y": 2019, "t": "x"}, {"y": 2021}], ["one", "two"])
hit, = col.query(np.array([3, 4, 0.001]), k=1, where="t = 'x' or y > 2020")
assert hit.id == 1 and abs(hit.score - 1) < 1e-6 and col.get(["b"])[0].metadata == {"y": 2021}
assert col.get([1], include_vectors=True)[0].vector.tolist() == [3, 4, 0]
maps = [l.split()[-1] for l in open("/proc/self/maps") if "lmdb" in l]
assert maps and all("zanth_vec.libs" in m for m in maps), maps  # never the system's LMDB
"""
@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    root = tmp_path_factory.mktemp("wheel-venv")
    venv.EnvBuilder(with_pip=True).create(root / "venv")
    python = str(root / "venv" / "bin" / "python")
    # The oldest NumPy the wheel admits: what users of older stacks get, which the suite's
    # venv (the newest) does not see.
    oldest = re.search(r'"numpy>=([\d.]+)"', (ROOT / "pyproject.toml").read_text()).group(1)
    subprocess.run([python, "-m", "pip", "install", "-q", f"numpy=={oldest}.*", str(WHEEL)],
                   check=True, env=CLEAN_ENV)
    site = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"],
                          check=True, capture_output=True, text=True, env=CLEAN_ENV).stdout.strip()
    return python, Path(site), root


def test_wheel_contents_and_the_installed_module(installed):
    python, site, root = installed
    assert re.search(r"-cp311-abi3-manylinux_\d+_\d+_x86_64\.whl$", WHEEL.name), WHEEL.name
    names = zipfile.ZipFile(WHEEL).namelist()
    assert {"zanth_vec.abi3.so", "zanth_vec-stubs/__init__.pyi", "zanth_vec-stubs/py.typed", "zanth/filters.py",
            "zanth/py.typed", "zanth/cli/__init__.py"} <= set(names)
    entry_points = next(n for n in names if n.endswith(".dist-info/entry_points.txt"))
    assert "zanth = zanth.cli:main" in zipfile.ZipFile(WHEEL).read(entry_points).decode()
    assert not any("crypto" in n or "ssl" in n for n in names), names  # linked in, never bundled
    dynamic = subprocess.run(["readelf", "-d", str(site / "zanth_vec.abi3.so")], check=True,
                             capture_output=True, text=True).stdout
    foreign = [n for n in re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic) if not SYSTEM.match(n)]
    assert foreign and all(n.startswith("liblmdb-") and (site / "zanth_vec.libs" / n).is_file() for n in foreign)
    assert "$ORIGIN/zanth_vec.libs" in dynamic
    done = subprocess.run([python, "-c", ROUND_TRIP], cwd=root, capture_output=True, text=True, env=CLEAN_ENV)
    assert done.returncode == 0, done.stderr
