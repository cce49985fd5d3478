"""Instruction counts of corvane and `==` on one workload, measured by callgrind (repeatable for
the same binary and inputs, whatever else the machine does)."""

from __future__ import annotations

import glob
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.join(HERE, "..", "build", "callgrind")


class CallgrindError(Exception):
    pass


def available() -> str | None:
    """None when callgrind can run here, else why not."""
    if shutil.which("valgrind") is None:
        return "valgrind is not installed"
    if not os.path.exists("/usr/include/valgrind/callgrind.h"):
        return "valgrind's headers (callgrind.h) are not installed"
    if shutil.which("cc") is None:
        return "no C compiler (cc)"
    return None


def toggle_library() -> str:
    os.makedirs(BUILD, exist_ok=True)
    lib = os.path.join(BUILD, "cgtoggle.so")
    source = os.path.join(HERE, "cgtoggle.c")
    if not os.path.exists(lib) or os.path.getmtime(lib) < os.path.getmtime(source):
        subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-o", lib, source], check=True)
    return lib


def _total(path: str) -> int:
    with open(path) as f:
        for line in f:
            if line.startswith("totals:"):
                return int(line.split()[1])
    raise CallgrindError("no instruction total in " + path)


def measure(workload: str, size: int = 0) -> tuple[int, int]:
    """(corvane's instructions, ==' s instructions) on `workload` of `size` (0: its full size)."""
    lib = toggle_library()
    with tempfile.TemporaryDirectory() as tmp:
        cmd = ["valgrind", "--tool=callgrind", "--collect-atstart=no",
               "--callgrind-out-file=" + os.path.join(tmp, "cg.%p"),
               sys.executable, os.path.join(HERE, "cgprobe.py"), lib, workload, str(size)]
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=1800,
                              env=dict(os.environ, PYTHONHASHSEED="0"))
        if proc.returncode != 0:
            raise CallgrindError("callgrind on %s failed:\n%s" % (workload, proc.stderr[-2000:]))
        dumps = {}
        for path in glob.glob(os.path.join(tmp, "cg.*.*")):
            with open(path) as f:
                head = f.read(4096)
            for name in ("corvane", "eq"):
                if "Trigger: Client Request: %s\n" % name in head:
                    dumps[name] = _total(path)
        if set(dumps) != {"corvane", "eq"}:
            raise CallgrindError("callgrind on %s wrote %s" % (workload, sorted(dumps)))
        return dumps["corvane"], dumps["eq"]
