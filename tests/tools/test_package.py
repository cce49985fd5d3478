"""The shape of corvane_report: its public names, imports that run one way (report <- inputs <-
rows <- cli; the plugin on report alone), no circles, and the installed entry points."""

import ast
import graphlib
import subprocess
import sys
from importlib import import_module, metadata
from pathlib import Path

import pytest

import corvane_report

PACKAGE = Path(corvane_report.__file__).parent

PUBLIC = [
    "MISSING", "CompareError", "Entry", "Filter", "Tolerance", "assert_same", "compare", "compile_filter",
    "diff", "diff_rows", "dumps_strict", "entries", "from_strict_json", "is_same", "json_patch", "report_text",
]

# What each part may import of the package; a part outside its own imports only the other's face.
ALLOWED = {
    "": {"report", "rows"},  # the top-level face
    "report": {"report"},
    "inputs": {"inputs", "report"},
    "rows": {"rows", "report", "inputs"},
    "cli": {"cli", "report", "inputs", "rows"},
    "pytest_plugin": {"report"},
}


def _module_name(path):
    parts = ["corvane_report", *path.relative_to(PACKAGE).with_suffix("").parts]
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def _imports():
    """module -> the package's modules it names in an import statement (lazy ones too)."""
    found = {}
    for path in sorted(PACKAGE.rglob("*.py")):
        name = _module_name(path)
        package = name if path.name == "__init__.py" else name.rpartition(".")[0]
        targets = set()
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.ImportFrom) and node.level:
                base = package.rsplit(".", node.level - 1)[0] if node.level > 1 else package
                targets.add(f"{base}.{node.module}" if node.module else base)
            elif isinstance(node, (ast.Import, ast.ImportFrom)):
                modules = [alias.name for alias in node.names] if isinstance(node, ast.Import) else [node.module]
                targets.update(m for m in modules if m == "corvane_report" or m.startswith("corvane_report."))
        found[name] = targets
    return found


def _part(module):
    return module.split(".")[1] if "." in module else ""


IMPORTS = _imports()


class TestPublicNames:
    def test_the_top_level_names_a_small_api(self):
        assert sorted(corvane_report.__all__) == sorted(PUBLIC)

    @pytest.mark.parametrize("name", PUBLIC)
    def test_each_public_name_is_its_subpackages_own(self, name):
        home = import_module("corvane_report.rows" if name == "diff_rows" else "corvane_report.report")
        assert getattr(corvane_report, name) is getattr(home, name)

    @pytest.mark.parametrize("module", ["corvane_report.report", "corvane_report.inputs", "corvane_report.rows",
                                        "corvane_report.cli"])
    def test_every_listed_name_is_there_and_public(self, module):
        imported = import_module(module)
        assert imported.__all__ and all(not name.startswith("_") and hasattr(imported, name) for name in imported.__all__)

    def test_an_unknown_name_is_an_attribute_error(self):
        with pytest.raises(AttributeError, match="has no attribute 'diff_files'"):
            corvane_report.diff_files  # noqa: B018


class TestImportDirection:
    def test_the_whole_package_was_read(self):
        assert {"corvane_report.report._entries", "corvane_report.rows._engine", "corvane_report.cli._main",
                "corvane_report.inputs._formats", "corvane_report.pytest_plugin"} <= IMPORTS.keys()

    def test_imports_run_one_way_through_faces(self):
        wrong = [f"{module} -> {target}" for module, targets in sorted(IMPORTS.items()) for target in sorted(targets)
                 if _part(target) not in ALLOWED[_part(module)]
                 # another part is reached through its __init__ alone
                 or (_part(target) != _part(module) and target.count(".") > 1)]
        assert not wrong

    def test_no_circles(self):
        graph = {module: {t for t in targets if t in IMPORTS} for module, targets in IMPORTS.items()}
        graphlib.TopologicalSorter(graph).prepare()  # CycleError names the circle

    @pytest.mark.parametrize("module, absent", [
        ("corvane_report", {"rows", "inputs", "cli", "pytest_plugin"}),  # diff_rows loads rows on first use
        ("corvane_report.pytest_plugin", {"rows", "inputs", "cli"}),
        ("corvane_report.inputs", {"rows", "cli", "pytest_plugin"}),
        ("corvane_report.rows", {"cli", "pytest_plugin"}),
    ])
    def test_what_an_import_loads(self, module, absent):
        probe = f"import sys, {module}; print(*sorted(sys.modules))"
        loaded = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, check=True).stdout.split()
        assert not {_part(m) for m in loaded if m.startswith("corvane_report.")} & absent

    def test_the_command_line_loads_the_datasets_engine_only_to_compare_datasets(self):
        probe = ("import sys, corvane_report.cli; loaded = set(sys.modules); "
                 "from corvane_report.rows import diff_datasets; print(*sorted(loaded), '|', *sorted(sys.modules))")
        before, after = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True,
                                       check=True).stdout.split("|")
        engine = {"corvane_report.rows._engine", "corvane_report.rows._partitions", "multiprocessing"}
        assert not engine & set(before.split()) and engine <= set(after.split())


@pytest.mark.parametrize("group, name, value", [
    ("console_scripts", "corvane-diff", "corvane_report.cli:main"),
    ("pytest11", "corvane", "corvane_report.pytest_plugin"),
])
def test_entry_points(group, name, value):
    (entry,) = [e for e in metadata.entry_points(group=group) if e.name == name]
    assert entry.value == value
    assert entry.load()
