"""Inputs and settings that once ended the interpreter. Each case runs in a
child interpreter, so a crash or an abort fails its test instead of the run."""

import os
import subprocess
import sys
import textwrap

import pytest


def run_child(code, timeout=120):
    """Runs `code` in a fresh interpreter that imports this checkout's
    package the way the tests do; returns what it printed."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, f"child ended with {done.returncode}:\n{done.stderr}"
    return done.stdout


def test_bool_conversion_survives_a_type_name_that_changes_between_reads():
    # The type passes the numpy test on its first name read and has a name
    # that cannot be encoded on any later one.
    out = run_child("""
        from tolvane_trie import TolvaneSet

        class Meta(type):
            reads = 0

            @property
            def __name__(cls):
                Meta.reads += 1
                return "bool_" if Meta.reads == 1 else "\\udc80"

        class Flag(metaclass=Meta):
            __module__ = "numpy"

        s = TolvaneSet([5, 6])
        try:
            s.next(5, inclusive=Flag())
        except TypeError as e:
            print(type(e).__name__, str(e).encode("utf-8", "replace").decode())
        print(s.to_list())
    """)
    assert out.splitlines() == [
        "TypeError object of type 'bool_' does not define a '__bool__' conversion", "[5, 6]"]
