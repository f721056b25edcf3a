"""What the interpreter sees: an abi3 module that imports only the 3.11 stable ABI, and the
classes, method tables and signatures it exports."""
import ast
import os
import subprocess
import sys
import sysconfig

import pytest

import zanth_vec
from zanth_vec import ZanthIterator, ZanthVec

SIGNATURES = {
    "close": "($self)", "get_ids_from_filter": "($self, filter_tree)",
    "search_flat": "($self, query_vector, filter_obj=None, k=10)",
    "store_flat_vectors": "($self, data, identifiers)", "delete_flat_vectors": "($self, identifiers, dim)",
    "batch_index_insert": "($self, entries)", "batch_index_delete": "($self, entries)",
    "store_data": "($self, data, identifiers)", "get_data": "($self, identifiers)",
    "delete_data": "($self, identifiers)", "get_data_count": "($self)", "compact_vectors": "($self, dim)",
    "search_flat_batch": "($self, queries, filter_obj=None, k=10)", "sketch_memory": "($self)",
    "set_sketch_budget": "($self, max_bytes)", "take_prune_counts": "($self)",
    "store_pickled": "($self, data, identifiers)", "get_pickled": "($self, identifiers)",
    "filter_cache_memory": "($self)", "set_filter_cache_budget": "($self, max_bytes)",
    "write_batch": "($self, identifiers, data=None, vectors=None, index_inserts=None, "
                   "index_deletes=None, vector_deletes=None, object_deletes=None, dim=None, "
                   "more_identifiers=None, more_data=None)",
    "refresh": "($self)", "last_commits": "($self)", }


def test_module_is_abi3_and_imports_only_the_stable_abi():
    assert os.path.basename(zanth_vec.__file__) == "zanth_vec.abi3.so"
    dynamic = subprocess.run(["readelf", "-W", "-d", "--dyn-syms", zanth_vec.__file__], capture_output=True,
                             text=True, check=True).stdout
    assert "libpython3." not in dynamic
    if sys.version_info[:2] != (3, 11):
        pytest.skip("the stable ABI list must come from a 3.11 interpreter")
    path = os.path.join(sysconfig.get_path("stdlib"), "test", "test_stable_abi_ctypes.py")
    names = next(ast.literal_eval(n.value) for n in ast.parse(open(path).read()).body
                 if isinstance(n, ast.Assign) and getattr(n.targets[0], "id", "") == "SYMBOL_NAMES")
    imported = {line.split()[-1].split("@")[0] for line in dynamic.splitlines() if " UND " in line}
    imported = {n for n in imported if n.startswith(("Py", "_Py"))}
    assert "PyModule_Create2" in imported
    # CPython leaves these two out of its list only because some platforms do not export them.
    assert imported - set(names) - {"PyModule_Create2", "PyModule_FromDefAndSpec2"} == set()


def test_classes_and_method_tables():
    assert zanth_vec.__all__ == ["ZanthVec", "ZanthIterator"] and zanth_vec.__doc__ == ""
    assert sorted(n for n in dir(zanth_vec) if not n.startswith("_")) == ["PanicException", "ZanthIterator", "ZanthVec"]
    assert zanth_vec.PanicException.__bases__ == (BaseException,)
    assert ZanthVec.__doc__ == "" and ZanthIterator.__doc__ is None
    assert ZanthVec.__text_signature__ == "(base_path, num_shards=5, map_size=200000000000)"
    for cls, table in [(ZanthVec, SIGNATURES), (ZanthIterator, {"to_list": "($self)"})]:
        assert cls.__module__ == "zanth_vec" and cls.__bases__ == (object,)
        assert cls.__weakrefoffset__ == 0 and cls.__dictoffset__ == 0
        methods = {n: m for n, m in vars(cls).items() if not n.startswith("__")}
        assert list(methods) == list(table)  # in this order
        assert all(m.__text_signature__ == table[n] and m.__doc__ is None for n, m in methods.items())


def test_second_initialisation_raises_import_error():
    code = ("import importlib, sys, zanth_vec\ndel sys.modules['zanth_vec']\n"
            "try:\n    importlib.import_module('zanth_vec')\nexcept ImportError:\n    sys.exit(0)\nsys.exit(1)\n")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(zanth_vec.__file__))
    assert subprocess.run([sys.executable, "-c", code], env=env).returncode == 0
