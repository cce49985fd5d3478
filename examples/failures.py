"""What a failed comparison looks like, and how to catch it.

A wrong call raises TypeError. Every other failure abandons the whole comparison, writes a
diagnostic to standard error and raises PanicException, which derives from BaseException:
`except Exception` does not catch it. The class is not importable; recognise it by name.
"""

import re

from corvane import corvane


def compare(a, b):
    """corvane(a, b), or None with a one-line reason when the comparison fails."""
    try:
        return corvane(a, b)
    except Exception:
        raise  # TypeError for a wrong call, and nothing else
    except BaseException as exc:
        if type(exc).__name__ != "PanicException":
            raise  # KeyboardInterrupt, SystemExit: let them through
        # The message names the underlying exception's type, value and traceback.
        reason = re.search(r"value: (.*?), traceback:", str(exc), re.S)
        print(f"  failed: {reason.group(1) if reason else exc}")
        return None


class Broken:
    def __iter__(self):
        return self

    def __next__(self):
        raise ValueError("sensor offline")


looped = []
looped.append(looped)  # a list that contains itself

print("an integer beyond 128 bits, even when both sides are equal:")
compare(2**130, 2**130)
print("a structure that contains itself:")
compare(looped, looped)
print("an iterator that raises:")
compare(Broken(), iter([1]))

print("except Exception does not catch it:")
try:
    try:
        corvane(2**200, 0)
    except Exception:
        print("  caught by except Exception")  # never printed
except BaseException as exc:
    print(f"  {type(exc).__name__} passed through; it is a BaseException: {isinstance(exc, BaseException)}, "
          f"an Exception: {isinstance(exc, Exception)}")

print("a wrong call is an ordinary TypeError:")
try:
    corvane(1)
except TypeError as exc:
    print(f"  TypeError: {exc}")

print("the interpreter is still fine:", len(compare([1, 2], [1, 3]).val_changes), "value change")
