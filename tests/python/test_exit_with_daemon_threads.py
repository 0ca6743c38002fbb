"""A process whose daemon threads are inside calls of ours when the main
thread returns exits as it would without the extension. The interpreter
ends such threads while it finalizes; each run is a child interpreter, many
at once, so that the threads meet the end at many different points."""

import subprocess
import textwrap
import time

import pytest

from child_process import child_command

RUNS = 120
AT_ONCE = 6
SECONDS = 30

SCRIPTS = {
    # Threads that spend their time with the interpreter lock released.
    "concurrent classes": """
        import threading, time
        from tolvane_trie import SyncTolvaneMap, SyncTolvaneSet

        m = SyncTolvaneMap()
        m.update((k, k) for k in range(20000))
        s = SyncTolvaneSet()
        s.insert_many(range(0, 20000, 3))

        def work(k):
            while True:
                k = (k * 2654435761 + 1) % 20000
                m.get(k); k in s; m[k] = k + 1
                m.count_below(k); s.count_below(k)
                m.range(k, k + 20); s.range(k, k + 20)
    """,
    # Threads that spend their time in Python code that a call of ours runs:
    # callbacks and the iterators that feed bulk updates.
    "python code inside calls": """
        import threading, time
        from tolvane_trie import SyncTolvaneMap, TolvaneBytesMap, TolvaneMap

        shared = SyncTolvaneMap()

        def work(k):
            own = TolvaneMap()
            words = TolvaneBytesMap()
            words.update({str(i).encode(): i for i in range(300)})
            sums = []
            while True:
                own.update((i, i * k) for i in range(300))
                shared.update((i + 1000 * k, i) for i in range(300))
                words.for_each(lambda key, value: sums.append(len(key) + value))
                sums.clear()
    """,
}

# The main thread returns while the workers run. Its interpreter then runs
# Python code while it finalizes, so that it hands the lock to the workers
# that wait for it, and these are ended where they wait, in the middle of
# Python code that a call of ours runs, as well as on their way back from
# work without the lock.
RUN_THEN_RETURN = """
    class SlowGoodbye:
        def __del__(self, clock=time.monotonic):
            end = clock() + 0.05
            while clock() < end:
                pass

    goodbye = SlowGoodbye()
    for i in range(8):
        threading.Thread(target=work, args=(i + 1,), daemon=True).start()
    time.sleep(0.2)
"""


@pytest.mark.parametrize("case", SCRIPTS)
def test_daemon_threads_inside_calls_do_not_break_the_exit(case):
    argv, env = child_command(textwrap.dedent(SCRIPTS[case]) + textwrap.dedent(RUN_THEN_RETURN))
    failures, runs = [], 0
    deadline = time.monotonic() + SECONDS
    while runs < RUNS and time.monotonic() < deadline:
        batch = [subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                 for _ in range(AT_ONCE)]
        for child in batch:
            try:
                _, err = child.communicate(timeout=SECONDS)
            except subprocess.TimeoutExpired:
                child.kill()
                _, err = child.communicate()
                failures.append(("hung", err.decode(errors="replace")))
                continue
            # A worker that failed would have printed its traceback.
            if child.returncode != 0 or err:
                failures.append((child.returncode, err.decode(errors="replace")))
        runs += AT_ONCE
    assert not failures, f"{len(failures)} of {runs} runs failed, first: {failures[0]}"
    assert runs >= AT_ONCE
