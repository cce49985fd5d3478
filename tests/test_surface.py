"""The module object, the binding of corvane()'s arguments and the result classes."""

import copy
import gc
import importlib
import inspect
import pickle
import sys
import weakref

import pytest

import corvane as corvane_module
from corvane import Output, corvane

try:
    from helpers import records
except ImportError:  # tests collected as a package
    from tests.helpers import records

LISTS = ("val_changes", "type_and_val_changes", "dict_items_added", "dict_items_removed", "iter_len_mismatch")
CLASS_NAMES = ("ValChange", "TypeAndValChange", "DictDiff", "DictDiff", "IterLenMismatch")
FIELDS = {"Output": LISTS, "ValChange": ("path", "a", "b"), "TypeAndValChange": ("path", "a", "b"),
          "DictDiff": ("path", "key", "val"), "IterLenMismatch": ("path", "a_len", "b_len")}
TUPLE_KEY = ("tuple", "key")
A_VAL, B_VAL, REMOVED_VAL, ADDED_VAL = object(), 1.5, object(), object()


def sample():
    """One record in each of the five lists."""
    a = {"v": 10**20, "t": A_VAL, TUPLE_KEY: [1, 2, 3], "gone": REMOVED_VAL}
    b = {"v": 10**21, "t": B_VAL, TUPLE_KEY: [1, 2], "new": ADDED_VAL}
    return corvane(a, b)


def sample_records():
    out = sample()
    return {name: getattr(out, name)[0] for name in LISTS}


def result_classes():
    return [Output] + [type(rec) for name, rec in sample_records().items() if name != "dict_items_removed"]


class TestModule:
    def test_namespace(self):
        assert corvane_module.__all__ == ["corvane", "Output"]
        assert corvane_module.__doc__ == ""
        for name in ("DictDiff", "ValChange", "TypeAndValChange", "IterLenMismatch", "PanicException"):
            assert not hasattr(corvane_module, name)

    def test_function(self):
        assert (corvane.__module__, corvane.__name__, corvane.__qualname__) == ("corvane",) * 3
        assert corvane_module in gc.get_referents(corvane)
        assert corvane.__text_signature__ == "(a, b)"
        assert corvane.__doc__ is None
        params = inspect.signature(corvane).parameters
        assert list(params) == ["a", "b"]
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in params.values())

    def test_static_flag_hides_self(self):
        # The function is made with the module as its self, but its flags carry METH_STATIC,
        # and for such functions the interpreter reports no self at all.
        assert corvane.__self__ is None

    # Importing again leaves import-system bookkeeping behind, as for any extension module.
    @pytest.mark.no_leak_check
    def test_import_again_makes_new_module_sharing_output_class(self, monkeypatch):
        monkeypatch.delitem(sys.modules, "corvane")
        fresh = importlib.import_module("corvane")
        assert fresh is not corvane_module and fresh.corvane is not corvane
        assert fresh in gc.get_referents(fresh.corvane)
        assert fresh.Output is Output and fresh.__all__ == ["corvane", "Output"]
        assert type(fresh.corvane(1, 2).val_changes[0]) is type(corvane(1, 2).val_changes[0])


MISSING_BOTH = "corvane() missing 2 required positional arguments: 'a' and 'b'"
TOO_MANY = "corvane() takes 2 positional arguments but {} were given"
UNEXPECTED = "corvane() got an unexpected keyword argument '{}'"
MULTIPLE = "corvane() got multiple values for argument '{}'"


class TestBinding:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: corvane(), MISSING_BOTH),
            (lambda: corvane(1), "corvane() missing 1 required positional argument: 'b'"),
            (lambda: corvane(b=1), "corvane() missing 1 required positional argument: 'a'"),
            (lambda: corvane(1, 2, 3), TOO_MANY.format(3)),
            (lambda: corvane(1, 2, 3, c=4), TOO_MANY.format(3)),
            (lambda: corvane(1, 2, 3, 4, a=5, b=6), TOO_MANY.format(4)),
            (lambda: corvane(1, 2, c=3), UNEXPECTED.format("c")),
            (lambda: corvane(c=3), UNEXPECTED.format("c")),
            (lambda: corvane(1, A=2), UNEXPECTED.format("A")),
            (lambda: corvane(1, bb=2), UNEXPECTED.format("bb")),
            (lambda: corvane(1, é=2), UNEXPECTED.format("é")),
            (lambda: corvane(1, **{"b\0": 2}), UNEXPECTED.format("b\0")),
            (lambda: corvane(1, 2, **{"\udc80": 1}), UNEXPECTED.format("\ufffd")),
            (lambda: corvane(1, **{"b\udc80x": 1, "b": 2}), UNEXPECTED.format("b\ufffdx")),
            (lambda: corvane(1, a=2), MULTIPLE.format("a")),
            (lambda: corvane(1, 2, b=3), MULTIPLE.format("b")),
            # The first bad keyword in call order decides.
            (lambda: corvane(1, d=1, c=2), UNEXPECTED.format("d")),
            (lambda: corvane(1, c=2, a=3), UNEXPECTED.format("c")),
            (lambda: corvane(1, a=2, c=3), MULTIPLE.format("a")),
        ],
    )
    def test_type_errors(self, call, message):
        with pytest.raises(TypeError) as excinfo:
            call()
        assert type(excinfo.value) is TypeError
        assert str(excinfo.value) == message

    @pytest.mark.parametrize(
        "call", [lambda a, b: corvane(a, b=b), lambda a, b: corvane(a=a, b=b), lambda a, b: corvane(b=b, a=a)]
    )
    def test_keywords_bind_like_positions(self, call):
        a, b = {"k": [1, "x"], "gone": object()}, {"k": [2], "new": None}
        out = call(a, b)
        assert records(out) == records(corvane(a, b))
        assert out.dict_items_removed[0].val is a["gone"]


class TestOutput:
    def test_equal_values_give_five_empty_lists(self):
        out = corvane(1, 1)
        assert type(out) is Output
        assert [getattr(out, name) for name in LISTS] == [[]] * 5

    def test_records_sorted_by_kind_in_discovery_order(self):
        a = {"v1": 1, "n": {"x": 1}, "t1": None, "v2": "s", "l": [[1], 5], "t2": 1}
        b = {"v1": 2, "n": {"add": 0}, "t1": 0, "v2": "z", "l": [[1, 2]], "t2": 1.0}
        out = corvane(a, b)
        assert [r.path for r in out.val_changes] == [["v1"], ["v2"]]
        assert [r.path for r in out.type_and_val_changes] == [["t1"], ["t2"]]
        assert [(r.path, r.key) for r in out.dict_items_added] == [(["n"], "add")]
        assert [(r.path, r.key) for r in out.dict_items_removed] == [(["n"], "x")]
        assert [(r.path, r.a_len, r.b_len) for r in out.iter_len_mismatch] == [(["l", 0], 1, 2), (["l"], 2, 1)]
        for name, cls_name in zip(LISTS, CLASS_NAMES):
            assert {type(r).__name__ for r in getattr(out, name)} == {cls_name}

    def test_every_read_gives_fresh_lists_of_fresh_records(self):
        out = sample()
        for name in LISTS:
            first, second = getattr(out, name), getattr(out, name)
            assert first is not second and first != second and first[0] is not second[0]
            first.append(1)
            second.clear()
            assert len(getattr(out, name)) == 1

    def test_record_fields(self):
        recs = sample_records()
        val, typ, added, removed, lens = (recs[name] for name in LISTS)
        assert (val.path, val.a, val.b) == (["v"], 10**20, 10**21) and val.a is val.a
        assert (typ.path, typ.a, typ.b) == (["t"], A_VAL, B_VAL) and typ.a is A_VAL and typ.b is B_VAL
        assert (added.path, added.key, added.val) == ([], "new", ADDED_VAL) and added.val is ADDED_VAL
        assert (removed.key, removed.val) == ("gone", REMOVED_VAL) and removed.val is REMOVED_VAL
        assert lens.path == [TUPLE_KEY] and lens.path[0] is TUPLE_KEY
        assert (lens.a_len, lens.b_len) == (3, 2) and type(lens.a_len) is type(lens.b_len) is int
        for rec in recs.values():
            assert rec.path is not rec.path and rec.path == rec.path
            rec.path.append("x")
        assert lens.path == [TUPLE_KEY]
        assert type(added) is type(removed) is type(sample_records()["dict_items_added"])


class TestClasses:
    def test_names_and_attributes(self):
        for cls in result_classes():
            name = cls.__name__
            assert (cls.__module__, cls.__qualname__, cls.__doc__) == ("builtins", name, None)
            assert cls.__bases__ == (object,)
            assert {attr for attr in vars(cls) if not attr.startswith("__")} == set(FIELDS[name])
            for attr in FIELDS[name]:
                assert type(vars(cls)[attr]).__name__ == "getset_descriptor"
                assert vars(cls)[attr].__doc__ == ""

    def test_cannot_be_made_copied_or_subclassed(self):
        for cls in result_classes():
            for make in (cls, lambda: object.__new__(cls), lambda: type("Sub", (cls,), {})):
                with pytest.raises(TypeError):
                    make()
        for obj in [sample(), *sample_records().values()]:
            for dup in (copy.copy, copy.deepcopy, pickle.dumps):
                with pytest.raises(TypeError):
                    dup(obj)

    def test_instances_are_read_only_plain_objects(self):
        twin_records = sample_records()
        pairs = [(sample(), sample())] + [(rec, twin_records[name]) for name, rec in sample_records().items()]
        for obj, twin in pairs:
            for attr in FIELDS[type(obj).__name__] + ("extra",):
                with pytest.raises(AttributeError):
                    setattr(obj, attr, 1)
                with pytest.raises(AttributeError):
                    delattr(obj, attr)
            assert not hasattr(obj, "__dict__") and not gc.is_tracked(obj)
            with pytest.raises(TypeError):
                weakref.ref(obj)
            assert obj == obj and obj != twin and hash(obj) == object.__hash__(obj)
