"""The released wheel, installed into a fresh virtual environment: what it carries, what the
module needs from the system, and that a store round trip works from the installed copy.

Skipped unless a wheel was built (`make wheel` writes dist/*.whl; ZANTH_WHEEL names another).
`make test` builds the wheel first; deselect with `-m "not wheel"`.
"""

import glob
import os
import re
import subprocess
import sys
import textwrap
import venv
import zipfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent


def _find_wheel():
    named = os.environ.get("ZANTH_WHEEL")
    if named:
        return Path(named)
    found = sorted(glob.glob(str(REPO / "dist" / "zanth_vec-*-abi3-*.whl")))
    return Path(found[-1]) if found else None


WHEEL = _find_wheel()

pytestmark = [
    pytest.mark.wheel,
    pytest.mark.skipif(WHEEL is None or not WHEEL.exists(), reason="no wheel built (make wheel)"),
]

# Libraries every manylinux system provides; anything else must travel inside the wheel.
SYSTEM_LIBRARIES = re.compile(
    r"^(libc|libm|libpthread|libdl|librt|libgcc_s|libstdc\+\+|ld-linux-x86-64)\.so(\.\d+)*$"
)


def _clean_env():
    """The environment of a user's shell: nothing pointing at the build tree."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "VIRTUAL_ENV"))}
    env["PYTHONNOUSERSITE"] = "1"
    return env


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """A fresh venv with only the wheel (and its numpy dependency) installed."""
    root = tmp_path_factory.mktemp("wheel-venv")
    venv.EnvBuilder(with_pip=True, clear=True).create(root / "venv")
    python = root / "venv" / "bin" / "python"
    subprocess.run(
        [str(python), "-m", "pip", "install", "-q", "--disable-pip-version-check", str(WHEEL)],
        check=True,
        env=_clean_env(),
    )
    site = subprocess.run(
        [str(python), "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"],
        check=True,
        capture_output=True,
        text=True,
        env=_clean_env(),
    ).stdout.strip()
    return python, Path(site), root


def _readelf_dynamic(path):
    out = subprocess.run(["readelf", "-d", str(path)], check=True, capture_output=True, text=True)
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out.stdout)
    search = re.findall(r"\((?:RPATH|RUNPATH)\)\s+Library r(?:un)?path: \[([^\]]+)\]", out.stdout)
    return needed, search


def test_wheel_is_one_abi3_module_with_stubs_and_no_system_lmdb_or_crypto():
    assert re.search(r"-cp311-abi3-manylinux_\d+_\d+_x86_64\.whl$", WHEEL.name), WHEEL.name
    with zipfile.ZipFile(WHEEL) as zf:
        names = zf.namelist()
        wheel_meta = next(n for n in names if n.endswith(".dist-info/WHEEL"))
        tags = [l for l in zf.read(wheel_meta).decode().splitlines() if l.startswith("Tag:")]
    modules = [n for n in names if re.search(r"\.so(\.\d+)*$", n)]
    assert "zanth_vec.abi3.so" in modules
    assert "zanth_vec-stubs/__init__.pyi" in names and "zanth_vec-stubs/py.typed" in names
    assert {"zanth/filters.py", "zanth/py.typed", "zanth/cli/__init__.py"} <= set(names)
    entry_points = next(n for n in names if n.endswith(".dist-info/entry_points.txt"))
    assert "zanth = zanth.cli:main" in zipfile.ZipFile(WHEEL).read(entry_points).decode()
    assert tags and all("cp311-abi3-" in t for t in tags), tags
    bundled = [n for n in modules if n.startswith("zanth_vec.libs/")]
    # LMDB travels as a renamed private copy; libcrypto is linked in, never bundled.
    assert any(os.path.basename(n).startswith("liblmdb") for n in bundled), names
    assert not any("crypto" in n or "ssl" in n for n in names), names


def test_installed_module_depends_only_on_system_basics_and_its_own_copies(installed):
    python, site, _ = installed
    module = site / "zanth_vec.abi3.so"
    needed, search = _readelf_dynamic(module)
    private_dir = site / "zanth_vec.libs"
    foreign = [n for n in needed if not SYSTEM_LIBRARIES.match(n)]
    for name in foreign:
        assert (private_dir / name).is_file(), (name, needed)
        assert not name.startswith(("liblmdb.so", "libcrypto.so")), needed
    assert any(n.startswith("liblmdb") for n in foreign), needed
    assert not any("crypto" in n for n in needed), needed
    assert any("$ORIGIN/zanth_vec.libs" in s for s in search), search
    # The dynamic loader agrees: LMDB resolves inside the venv, and nothing is missing.
    ldd = subprocess.run(["ldd", str(module)], check=True, capture_output=True, text=True).stdout
    assert "not found" not in ldd, ldd
    lmdb_lines = [l for l in ldd.splitlines() if "lmdb" in l]
    assert lmdb_lines and all(str(private_dir) in l for l in lmdb_lines), ldd


ROUND_TRIP = r"""
import os, sys
import numpy as np
import zanth_vec

assert os.path.realpath(zanth_vec.__file__).startswith(os.path.realpath(sys.prefix)), zanth_vec.__file__
path = sys.argv[1]
store = zanth_vec.ZanthVec(path, num_shards=3, map_size=1 << 26)
store.store_data([{"n": i, "tag": "x" * i} for i in range(50)], list(range(50)))
assert store.get_data([3, 49, 1000]) == [{"n": 3, "tag": "xxx"}, {"n": 49, "tag": "x" * 49}, None]

rng = np.random.default_rng(7)
data = rng.standard_normal((600, 16)).astype(np.float32)
ids = np.arange(600, dtype=np.int64) * 3 - 900
store.store_flat_vectors(data, ids)
store.batch_index_insert([("parity:even" if i % 2 == 0 else "parity:odd", int(i)) for i in ids])
query = rng.standard_normal(16).astype(np.float32)
scores = data @ query

hits = store.search_flat(query, k=5)
assert [i for _, i in hits] == [int(ids[j]) for j in np.argsort(-scores)[:5]], hits
from zanth.filters import parse  # the companion package imports with NumPy alone
even = store.get_ids_from_filter(parse("parity:even and not parity:odd"))
assert sorted(even.to_list()) == sorted(int(i) for i in ids if i % 2 == 0)
hits = store.search_flat(query, filter_obj=even, k=5)
mask = ids % 2 == 0
expected = [int(ids[mask][j]) for j in np.argsort(-scores[mask])[:5]]
assert [i for _, i in hits] == expected, (hits, expected)
del store

# Reopened from disk, and no system LMDB was ever mapped into this process.
again = zanth_vec.ZanthVec(path, num_shards=3, map_size=1 << 26)
assert again.get_data([7]) == [{"n": 7, "tag": "x" * 7}]
assert len(again.search_flat(query, k=1000)) == 600
maps = [l.split()[-1] for l in open("/proc/self/maps") if "lmdb" in l]
assert maps and all("zanth_vec.libs" in m for m in maps), maps
print("round trip ok")
"""


def test_round_trip_from_the_installed_wheel(installed):
    python, _, root = installed
    script = root / "round_trip.py"
    script.write_text(ROUND_TRIP)
    # Run from an unrelated directory so the source tree cannot shadow the installed module.
    result = subprocess.run(
        [str(python), str(script), str(root / "store")],
        cwd=root,
        capture_output=True,
        text=True,
        env=_clean_env(),
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "round trip ok" in result.stdout


USER_CODE = """
import numpy as np
import zanth_vec

store = zanth_vec.ZanthVec("s", num_shards=2)
store.store_flat_vectors(np.zeros((2, 4), dtype=np.float32), [1, 2])
ids = store.get_ids_from_filter((2, [(0, "color:red"), (4, (1, "year:2000", "year:2010"))]))
hits = store.search_flat(np.zeros(4, dtype=np.float32), filter_obj=ids, k=3)
reveal_type(hits)
reveal_type(ids.to_list())
reveal_type(store.compact_vectors(4))
try:
    store.get_data([1])
except zanth_vec.PanicException:
    pass
store.get_ids_from_filter((7, "x"))
store.search_flat([1.0, 2.0])
store.batch_index_insert([("color:red", "five")])
"""


CHECKERS = {
    "mypy": (lambda python: ["--python-executable", python, "--no-incremental", "--cache-dir",
                             os.devnull],
             r'Revealed type is "(builtins\.)?list\[tuple\[(builtins\.)?float, '
             r'(builtins\.)?int\]\]"',
             r"user\.py:(\d+): error"),
    "pyright": (lambda python: ["--pythonpath", python],
                r'Type of "hits" is "list\[tuple\[float, int\]\]"',
                r"user\.py:(\d+):\d+ - error"),
}


@pytest.mark.parametrize("checker", sorted(CHECKERS))
def test_stubs_are_found_by_type_checkers_in_the_installed_environment(installed, tmp_path,
                                                                       checker):
    pytest.importorskip(checker)
    python, _, _ = installed
    options, hits_type, error_line = CHECKERS[checker]
    (tmp_path / "user.py").write_text(textwrap.dedent(USER_CODE))
    result = subprocess.run([sys.executable, "-m", checker, *options(str(python)), "user.py"],
                            cwd=tmp_path, capture_output=True, text=True)
    out = result.stdout + result.stderr
    assert re.search(hits_type, out), out
    if checker == "mypy":
        assert re.search(r'Revealed type is "(builtins\.)?list\[(builtins\.)?int\]"', out), out
    # Exactly the three misuses are reported, on their lines, and nothing else.
    assert re.findall(error_line, out) == ["16", "17", "18"], out
