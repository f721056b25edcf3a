"""What the interpreter sees: the module file, its classes, method tables and text signatures,
and the argument conversions every method shares."""

import ast
import os
import pickle
import shutil
import subprocess
import sys
import sysconfig
import weakref

import numpy as np
import pytest

import zanth_vec
from zanth_vec import ZanthIterator, ZanthVec

METHOD_SIGNATURES = [
    ("close", "($self)"),
    ("get_ids_from_filter", "($self, filter_tree)"),
    ("search_flat", "($self, query_vector, filter_obj=None, k=10)"),
    ("store_flat_vectors", "($self, data, identifiers)"),
    ("delete_flat_vectors", "($self, identifiers, dim)"),
    ("batch_index_insert", "($self, entries)"),
    ("batch_index_delete", "($self, entries)"),
    ("store_data", "($self, data, identifiers)"),
    ("get_data", "($self, identifiers)"),
    ("delete_data", "($self, identifiers)"),
    ("get_data_count", "($self)"),
    ("compact_vectors", "($self, dim)"),
    ("search_flat_batch", "($self, queries, filter_obj=None, k=10)"),
    ("sketch_memory", "($self)"),
    ("set_sketch_budget", "($self, max_bytes)"),
    ("take_prune_counts", "($self)"),
]


# ---------------------------------------------------------------------------------------------
# The module file and its ABI


def _imported_python_symbols(path):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--undefined-only", path], capture_output=True, text=True,
                         check=True).stdout
    names = {line.split()[-1].split("@")[0] for line in out.splitlines() if line.strip()}
    return {n for n in names if n.startswith(("Py", "_Py"))}


def _stable_abi_symbols():
    """Every symbol of the stable ABI of the running interpreter, from the list CPython's own
    test suite keeps (generated from Misc/stable_abi.toml). On a 3.11 interpreter that is
    exactly what an abi3 module built for 3.11 may import."""
    path = os.path.join(sysconfig.get_path("stdlib"), "test", "test_stable_abi_ctypes.py")
    if not os.path.exists(path):
        pytest.skip("this interpreter ships without its test suite")
    tree = ast.parse(open(path, encoding="utf-8").read())
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(
                getattr(t, "id", None) == "SYMBOL_NAMES" for t in node.targets):
            # CPython leaves these two out of that list only because some platforms do not
            # export them (bpo-44133); both are part of the stable ABI since 3.2 / 3.5.
            return set(ast.literal_eval(node.value)) | {"PyModule_Create2",
                                                        "PyModule_FromDefAndSpec2"}
    pytest.fail("SYMBOL_NAMES not found in " + path)


def test_module_file_is_an_abi3_extension():
    assert os.path.basename(zanth_vec.__file__) == "zanth_vec.abi3.so"


def test_module_imports_only_stable_abi_symbols():
    if sys.version_info[:2] != (3, 11):
        pytest.skip("the symbol list must come from a 3.11 interpreter")
    imported = _imported_python_symbols(zanth_vec.__file__)
    assert "PyModule_Create2" in imported  # the check sees the module's imports at all
    outside = imported - _stable_abi_symbols()
    assert not outside, f"imports outside the 3.11 stable ABI: {sorted(outside)}"


def test_module_does_not_link_a_versioned_libpython():
    readelf = shutil.which("readelf")
    if readelf is None:
        pytest.skip("readelf is not installed")
    out = subprocess.run([readelf, "-d", zanth_vec.__file__], capture_output=True, text=True,
                         check=True).stdout
    assert "libpython3." not in out


# ---------------------------------------------------------------------------------------------
# Module and classes


def test_module_attributes():
    assert zanth_vec.__all__ == ["ZanthVec", "ZanthIterator"]
    assert zanth_vec.__doc__ == ""
    assert ZanthVec.__module__ == "zanth_vec" and ZanthIterator.__module__ == "zanth_vec"
    assert ZanthVec.__bases__ == (object,) and ZanthIterator.__bases__ == (object,)
    public = [n for n in dir(zanth_vec) if not n.startswith("_")]
    assert sorted(public) == ["PanicException", "ZanthIterator", "ZanthVec"]


def test_second_initialisation_raises_import_error():
    code = (
        "import importlib, sys, zanth_vec\n"
        "del sys.modules['zanth_vec']\n"
        "try:\n"
        "    importlib.import_module('zanth_vec')\n"
        "except ImportError:\n"
        "    sys.exit(0)\n"
        "sys.exit(1)\n"
    )
    env = dict(os.environ, PYTHONPATH=os.path.dirname(zanth_vec.__file__))
    assert subprocess.run([sys.executable, "-c", code], env=env).returncode == 0


def test_class_docstring_is_only_the_text_signature():
    assert ZanthVec.__doc__ == ""
    assert ZanthVec.__text_signature__ == "(base_path, num_shards=5, map_size=200000000000)"
    assert ZanthIterator.__doc__ is None
    assert ZanthIterator.__text_signature__ is None


def test_method_table_order_and_signatures():
    methods = [(name, value) for name, value in vars(ZanthVec).items()
               if not name.startswith("__")]
    assert [name for name, _ in methods] == [name for name, _ in METHOD_SIGNATURES]
    for (name, method), (_, signature) in zip(methods, METHOD_SIGNATURES):
        assert method.__text_signature__ == signature, name
        assert method.__doc__ is None, name  # nothing after the signature
    to_list = vars(ZanthIterator)["to_list"]
    assert to_list.__text_signature__ == "($self)"
    assert [n for n in vars(ZanthIterator) if not n.startswith("__")] == ["to_list"]


@pytest.mark.parametrize("cls", [ZanthVec, ZanthIterator])
def test_classes_are_final(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_store_has_no_dict_and_no_weakrefs(store):
    with pytest.raises(AttributeError):
        store.anything = 1
    assert not hasattr(store, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(store)
    assert ZanthVec.__weakrefoffset__ == 0 and ZanthIterator.__weakrefoffset__ == 0
    assert ZanthVec.__dictoffset__ == 0 and ZanthIterator.__dictoffset__ == 0


def test_iterator_cannot_be_constructed():
    with pytest.raises(TypeError):
        ZanthIterator()
    with pytest.raises(TypeError):
        ZanthIterator.__new__(ZanthIterator)


def test_store_cannot_be_pickled(store):
    with pytest.raises(TypeError):
        pickle.dumps(store)


def test_panic_exception_is_not_an_exception():
    panic = zanth_vec.PanicException
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    try:
        try:
            raise panic("boom")
        except Exception:  # must not catch it
            pytest.fail("PanicException caught as Exception")
    except BaseException as e:
        assert type(e) is panic and e.args == ("boom",)


# ---------------------------------------------------------------------------------------------
# Argument parsing and conversion


def test_store_methods_take_positional_or_keyword_arguments(store):
    assert store.store_data(data=["a"], identifiers=[1]) is None
    assert store.get_data(identifiers=[1]) == ["a"]
    assert store.delete_data(identifiers=[1]) is None
    assert store.get_data([1]) == [None]


@pytest.mark.parametrize("call", [
    lambda s: s.get_data(),
    lambda s: s.get_data([1], [2]),
    lambda s: s.get_data([1], identifiers=[1]),
    lambda s: s.get_data(ids=[1]),
    lambda s: s.store_data([1]),
    lambda s: s.store_data([1], [1], [1]),
    lambda s: s.delete_data(),
    lambda s: s.get_data_count(1),
    lambda s: s.get_data_count(x=1),
    lambda s: s.close(1),
])
def test_generic_parser_refuses_bad_calls(store, call):
    with pytest.raises(TypeError):
        call(store)


def test_constructor_parser(tmp_path):
    with pytest.raises(TypeError):
        ZanthVec()
    with pytest.raises(TypeError):
        ZanthVec(str(tmp_path / "a"), 1, 1 << 20, 4)
    with pytest.raises(TypeError):
        ZanthVec(str(tmp_path / "a"), shards=1)
    with pytest.raises(TypeError):
        ZanthVec(str(tmp_path / "a"), 1, num_shards=1)
    assert not (tmp_path / "a").exists()
    store = ZanthVec(base_path=str(tmp_path / "b"), map_size=1 << 20, num_shards=2)
    assert sorted(os.listdir(tmp_path / "b")) == ["shard_0", "shard_1"]
    del store


@pytest.mark.parametrize("value, error", [
    (-1, OverflowError),
    (2**64, OverflowError),
    (-(2**70), OverflowError),
    (1.0, TypeError),
    ("3", TypeError),
    (None, TypeError),
])
@pytest.mark.parametrize("parameter", ["num_shards", "map_size"])
def test_sizes_refused_before_anything_is_created(tmp_path, parameter, value, error):
    path = tmp_path / "store"
    with pytest.raises(error) as info:
        ZanthVec(str(path), **{parameter: value})
    if error is TypeError:
        assert parameter in str(info.value)
    assert not path.exists()


def test_sizes_accept_the_integer_index_protocol(tmp_path):
    class Two:
        def __index__(self):
            return 2

    for n, value in enumerate([True, np.uint8(2), np.int64(2), Two()]):
        store = ZanthVec(str(tmp_path / f"s{n}"), num_shards=value, map_size=np.uint64(1 << 20))
        assert len(os.listdir(tmp_path / f"s{n}")) == int(value)
        del store


@pytest.mark.parametrize("make_path", [lambda p: str(p).encode(), lambda p: p, lambda p: 5,
                                       lambda p: None])
def test_base_path_must_be_str(tmp_path, make_path):
    with pytest.raises(TypeError, match="base_path"):
        ZanthVec(make_path(tmp_path / "s"))
    assert os.listdir(tmp_path) == []


def test_base_path_with_a_lone_surrogate_raises_the_encoding_error(tmp_path):
    with pytest.raises(UnicodeEncodeError):
        ZanthVec(str(tmp_path) + "/bad\udc80")
    assert os.listdir(tmp_path) == []


def test_str_subclass_is_a_base_path(tmp_path):
    class P(str):
        pass

    store = ZanthVec(P(str(tmp_path / "s")), num_shards=1)
    assert os.listdir(tmp_path / "s") == ["shard_0"]
    del store


@pytest.mark.parametrize("ids", [
    "12",
    {1, 2},
    frozenset([1]),
    (i for i in range(2)),
    iter([1, 2]),
    5,
    None,
    {1: 2},
    range,
])
@pytest.mark.parametrize("method", ["get_data", "delete_data"])
def test_non_sequences_refused_as_ids(store, method, ids):
    with pytest.raises(TypeError, match="identifiers"):
        getattr(store, method)(ids)


@pytest.mark.parametrize("ids", [[1.0], [1, "2"], [None], [[1]], np.array([1.5]),
                                 np.array([[1, 2]]), np.array(3), [np.float32(1)]])
def test_id_items_without_index_support_raise_type_error(store, ids):
    with pytest.raises(TypeError, match="identifiers"):
        store.get_data(ids)


@pytest.mark.parametrize("ids", [[2**63], [-(2**63) - 1], [0, 2**64], [-(2**64)],
                                 np.array([2**63], np.uint64),
                                 np.array([1, 2**64 - 1], np.uint64)])
def test_ids_outside_int64_raise_overflow(store, ids):
    with pytest.raises(OverflowError):
        store.get_data(ids)
    with pytest.raises(OverflowError):
        store.store_data(["x"] * len(ids), ids)
    assert store.get_data_count() == 0


def test_id_sequences_of_every_kind_are_accepted(store):
    class Seq:
        def __len__(self):
            return 3

        def __getitem__(self, i):
            if i >= 3:
                raise IndexError
            return [7, -7, 2**63 - 1][i]

    class Idx:
        def __init__(self, v):
            self.v = v

        def __index__(self):
            return self.v

    expected_ids = [7, -7, 2**63 - 1]
    store.store_data(["a", "b", "c"], expected_ids)
    forms = [
        expected_ids,
        tuple(expected_ids),
        Seq(),
        [Idx(7), Idx(-7), Idx(2**63 - 1)],
        [np.int64(7), np.int32(-7), np.uint64(2**63 - 1)],
        np.array(expected_ids, dtype=np.int64),
        np.array(expected_ids, dtype=">i8"),  # foreign byte order
        np.array([7, -7, 2**63 - 1, 0], dtype=np.int64)[:3],
        np.array([7, 0, -7, 0, 2**63 - 1], dtype=np.int64)[::2],  # strided
        np.array(expected_ids, dtype=object),
    ]
    for ids in forms:
        assert store.get_data(ids) == ["a", "b", "c"], repr(ids)


@pytest.mark.parametrize("dtype", [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32,
                                   np.int64, np.uint64, np.intp, np.longlong, np.ulonglong])
def test_numpy_integer_arrays_of_every_width(store, dtype):
    values = [0, 1, 5, 100, 127]
    if np.issubdtype(dtype, np.signedinteger):
        values += [-1, -128]
    store.store_data([int(v) for v in values], values)
    assert store.get_data(np.array(values, dtype=dtype)) == values
    assert store.get_data(np.array([], dtype=dtype)) == []


def test_uint64_array_just_inside_int64(store):
    big = np.array([2**63 - 1], dtype=np.uint64)
    store.store_data(["max"], big)
    assert store.get_data([2**63 - 1]) == ["max"]


def test_bool_ids_are_integers(store):
    store.store_data(["one", "zero"], [True, False])
    assert store.get_data([1, 0]) == ["one", "zero"]


def test_data_must_be_a_sequence_other_than_str(store):
    for data in ["ab", {1, 2}, (x for x in "ab"), 3, None]:
        with pytest.raises(TypeError, match="data"):
            store.store_data(data, [1, 2])
    assert store.get_data_count() == 0
    # bytes and tuples are sequences: each item is stored as it is
    store.store_data(b"ab", [1, 2])
    store.store_data(("x", None), [3, 4])
    assert store.get_data([1, 2, 3, 4]) == [97, 98, "x", None]


def test_data_is_converted_before_identifiers(store):
    with pytest.raises(TypeError, match="data"):
        store.store_data("xy", "xy")
    with pytest.raises(TypeError, match="identifiers"):
        store.store_data(["x"], "x")


def test_index_conversions_may_run_python_code_that_mutates_the_list(store):
    ids = [1, 2, 3]

    class Shrinker:
        def __index__(self):
            del ids[1:]
            return 9

    ids.insert(1, Shrinker())
    store.store_data(["a"], [9])
    # The list shrank while its second item was converted: nothing crashes and the items
    # converted so far are used.
    assert store.get_data(ids) == [None, "a"]
