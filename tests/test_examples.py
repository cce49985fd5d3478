"""Every program in examples/ runs with this interpreter and prints what its comments promise;
the README's interactive examples give the output shown."""

import doctest
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"

# Each example is a separate interpreter: repeating it under --leak-check measures nothing.
pytestmark = pytest.mark.no_leak_check

QUICK_TOUR = """\
value changed    ['timeout']: 2.5 -> 3.0
value changed    ['regions', 1]: 'us-east' -> 'us-west'
type changed     ['replicas']: 3 -> '3'
key added        [] + 'canary': True
key removed      [] - 'retired': 'v1'
length changed   ['regions']: 2 -> 3
equal: True
"""

CONFIG_DRIFT = """\
database.pool.max is 20, should be 32
features.beta_banner is set to True but should not be there
features.checkout_v2 is False, should be True
features.dark_mode is missing, should be False
owners.0.email is 'ada@example.org', should be 'ada@example.com'
regions has 2 entries, should have 3
replicas is 3 (int), should be '3' (str)
retry.backoff_ms has 3 entries, should have 4
timeout_s is 2.5, should be 3.0
9 settings drifted
"""

DATA_DOCUMENTS = """\
aligned:
  /users/0/admin: type changed false -> 0
  /users/1/email: changed "grace@example.org" -> "grace@example.com"
  /users/3: inserted {"id": 7, "name": "Alan", "email": "alan@example.org", "adm…
  /users/4: deleted {"id": 5, "name": "Donald", "email": "donald@example.org", …
by position (as == would walk them): 8 differences
matched by id, in any order:
  /users/0/admin [id=1]: type changed false -> 0
  /users/1/email [id=2]: changed "grace@example.org" -> "grace@example.com"
  /users/4 [id=5]: deleted {"id": 5, "name": "Donald", "email": "d…
  /users/2 [id=7]: inserted {"id": 7, "name": "Alan", "email": "ala…
patch: replace /users/0/admin, replace /users/1/email, add /users/3, remove /users/5
"""

RULES = {
    "'abc' vs 'abd'": "ValChange at []",
    "True vs 1": "equal",
    "True vs 2": "ValChange at []",
    "1 vs 1.0": "TypeAndValChange at []",
    "0.0 vs -0.0": "equal",
    "nan vs the same nan": "ValChange at []",
    "[1, 2] vs (1, 2)": "equal",
    "'ab' vs ['a', 'b']": "equal",
    "b'ab' vs b'ac'": "ValChange at [1]",
    "{'a': 1, 'b': 2} vs {'b': 2, 'a': 1}": "equal",
    "{} vs []": "TypeAndValChange at []",
    "None vs None": "equal",
    "None vs 0": "TypeAndValChange at []",
    "{1} vs {1}": "TypeAndValChange at []",
    "point vs the same point": "TypeAndValChange at []",
    "[1, 2] vs iter([1, 2])": "TypeAndValChange at []",
    "iter([1, 2]) vs iter([1, 2])": "equal",
    "[1, 2] vs [1, 2, 3]": "IterLenMismatch at [] (2 vs 3)",
    "the two iterators afterwards": "exhausted, exhausted",
}


def run(name):
    return subprocess.run([sys.executable, str(EXAMPLES / name)], capture_output=True, text=True,
                          timeout=60, cwd="/")


def test_every_example_is_checked():
    # plugin_demo.py is a pytest file that fails on purpose: tests/tools/test_plugin.py runs it.
    checked = {"quick_tour.py", "config_drift.py", "comparison_rules.py", "failures.py", "plugin_demo.py",
               "data_documents.py"}
    assert {p.name for p in EXAMPLES.glob("*.py")} == checked


@pytest.mark.parametrize("name, status, expected", [
    ("quick_tour.py", 0, QUICK_TOUR),
    ("config_drift.py", 1, CONFIG_DRIFT),  # exits 1 when something drifted
    ("data_documents.py", 0, DATA_DOCUMENTS),
])
def test_exact_output(name, status, expected):
    proc = run(name)
    assert (proc.returncode, proc.stdout, proc.stderr) == (status, expected, "")


def test_comparison_rules():
    proc = run("comparison_rules.py")
    assert proc.returncode == 0 and proc.stderr == ""
    shown = dict(re.split(r"\s{2,}", line, maxsplit=1) for line in proc.stdout.splitlines())
    assert shown == RULES


def test_failures():
    proc = run("failures.py")
    assert proc.returncode == 0
    failed = [line.strip() for line in proc.stdout.splitlines() if line.startswith("  failed: ")]
    assert failed[0] == "failed: OverflowError('Python int larger than 128 bits')"
    assert failed[1].startswith("failed: RecursionError(")
    assert failed[2] == "failed: ValueError('sensor offline')"
    assert len(failed) == 3
    assert "  PanicException passed through; it is a BaseException: True, an Exception: False" in proc.stdout
    assert "caught by except Exception" not in proc.stdout
    assert "  TypeError: corvane() missing 1 required positional argument: 'b'" in proc.stdout
    assert proc.stdout.endswith("the interpreter is still fine: 1 value change\n")
    # One diagnostic on standard error for each of the four failures, the raising frame included.
    assert proc.stderr.count("PanicException") == 4
    assert 'raise ValueError("sensor offline")' in proc.stderr


def test_readme_sessions():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    sessions = re.findall(r"```python\n(>>> .*?)```", text, re.S)
    assert sessions, "the README has no interactive example"
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    for number, session in enumerate(sessions):
        runner.run(doctest.DocTestParser().get_doctest(session, {}, f"README[{number}]", "README.md", 0))
    assert runner.summarize(verbose=False).failed == 0
