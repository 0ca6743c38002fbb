"""Running a piece of code in a fresh interpreter, for the faults that end a
process (aborts, exits, memory limits): a crash there fails one test instead
of the whole run."""

import os
import subprocess
import sys
import textwrap


def child_command(code):
    """The argument list and environment that run `code` in a fresh
    interpreter importing this checkout's package the way the tests do."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return [sys.executable, "-c", textwrap.dedent(code)], env


def run_child(code, timeout=120):
    """Runs `code` in a child interpreter, asserts that it exited with status
    0 and returns what it printed."""
    argv, env = child_command(code)
    done = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, f"child ended with {done.returncode}:\n{done.stderr}"
    return done.stdout
