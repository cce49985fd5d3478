"""The type stubs describe the classes the module really hands out.

mypy.stubtest (tools/typecheck.sh) checks the module's own names; it skips the record classes,
which exist in the stubs for type checking only, so their attributes are compared here.
"""

import ast
import types
from pathlib import Path

import pytest

import corvane

STUB = Path(__file__).resolve().parent.parent / "python" / "corvane-stubs" / "__init__.pyi"


def stub_classes():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    return {
        node.name: (
            {ast.unparse(d) for d in node.decorator_list},
            {f.name: ast.unparse(f.returns) for f in node.body if isinstance(f, ast.FunctionDef)},
        )
        for node in tree.body if isinstance(node, ast.ClassDef)
    }


def runtime_classes():
    out = corvane.corvane({"v": 1, "t": 1, "l": [1], "gone": 0}, {"v": 2, "t": "1", "l": [], "new": 0})
    records = [out.val_changes, out.type_and_val_changes, out.dict_items_added, out.iter_len_mismatch]
    return {cls.__name__: cls for cls in [corvane.Output, *(type(r[0]) for r in records)]}


RUNTIME = runtime_classes()
STUBS = stub_classes()


def test_same_classes():
    assert set(STUBS) == set(RUNTIME)


@pytest.mark.parametrize("name", sorted(RUNTIME))
def test_class_matches(name):
    decorators, members = STUBS[name]
    cls = RUNTIME[name]
    getters = {k for k, v in vars(cls).items() if isinstance(v, types.GetSetDescriptorType)}
    assert set(members) == getters
    assert "final" in decorators  # cannot be subclassed at run time either
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert ("type_check_only" in decorators) == (not hasattr(corvane, name))


def test_field_types():
    out = corvane.corvane({"v": 1, "t": 1, "l": [1], "gone": 0}, {"v": 2, "t": "1", "l": [], "new": 0})
    outputs = STUBS["Output"][1]
    for name, annotation in outputs.items():
        record = getattr(out, name)[0]
        assert annotation == f"list[{type(record).__name__}]"
        for field, kind in STUBS[type(record).__name__][1].items():
            assert isinstance(getattr(record, field), {"list[object]": list, "int": int, "object": object}[kind])
