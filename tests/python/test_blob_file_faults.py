"""TolvaneBlobMap's image files where the file system gets in the way: targets
that would block, folders that cannot be read, the longest file names and
files far too large to read whole. Every case runs in a child interpreter
bounded in seconds, so that a save that waits or a load that fills memory
fails one test instead of the run."""

import os
import shutil
import struct
import tempfile

import pytest

from child_process import run_child
from tolvane_trie import TolvaneBlobMap

EXAMPLE_MAP = """
from tolvane_trie import TolvaneBlobMap
m = TolvaneBlobMap(4096)
m.insert(1, b"abc")
m.insert(2, b"abcdefghi!")
"""


def example_image(tmp_path):
    path = tmp_path / "example.img"
    m = TolvaneBlobMap(4096)
    m.insert(1, b"abc")
    m.insert(2, b"abcdefghi!")
    m.save_to_file(str(path))
    return path.read_bytes()


# ---- targets that are not regular files ------------------------------------------

def test_save_to_a_fifo_without_a_reader_raises_at_once(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    out = run_child(EXAMPLE_MAP + f"""
import time
start = time.monotonic()
try:
    m.save_to_file({str(fifo)!r})
except OSError as e:
    print(e)
print(time.monotonic() - start < 1.0)
""", timeout=10)
    assert out.splitlines() == [
        "Failed to save file: No such device or address (os error 6)", "True"]
    assert os.listdir(tmp_path) == ["fifo"]


def test_save_to_a_fifo_with_a_reader_and_to_dev_null(tmp_path):
    fifo, received, regular = tmp_path / "fifo", tmp_path / "received", tmp_path / "map.img"
    os.mkfifo(fifo)
    # The image is larger than a pipe holds, so the writes wait for the
    # reader; the reader is a process of its own because the save keeps the
    # interpreter lock while it waits.
    out = run_child(f"""
import os, subprocess, sys
from tolvane_trie import TolvaneBlobMap
m = TolvaneBlobMap(4096)
for k in range(1000):
    m.insert(k, bytes([k % 251]) * 300, k)
fd = os.open({str(fifo)!r}, os.O_RDONLY | os.O_NONBLOCK)
os.set_blocking(fd, True)
with open({str(received)!r}, "wb") as sink:
    copy = "import shutil, sys; shutil.copyfileobj(sys.stdin.buffer, sys.stdout.buffer)"
    reader = subprocess.Popen([sys.executable, "-c", copy], stdin=fd, stdout=sink)
os.close(fd)
sent = m.save_to_file({str(fifo)!r})
assert reader.wait(timeout=20) == 0
print(sent, m.save_to_file({str(regular)!r}), m.save_to_file("/dev/null"))
""", timeout=60)
    sent, saved, discarded = map(int, out.split())
    assert sent == saved == discarded == os.path.getsize(regular) > 1 << 16
    assert received.read_bytes() == regular.read_bytes()
    assert sorted(os.listdir(tmp_path)) == ["fifo", "map.img", "received"]


# ---- the folder after the rename --------------------------------------------------

def test_a_folder_that_cannot_be_read_does_not_fail_the_save():
    # A folder the saving user may write and enter but not read: as root the
    # child drops to an unprivileged user, since root reads any folder.
    folder = tempfile.mkdtemp()
    try:
        os.chmod(folder, 0o333)
        out = run_child(EXAMPLE_MAP + f"""
import os
if os.geteuid() == 0:
    try:
        os.setgroups([])
        os.setgid(65534)
        os.setuid(65534)
    except OSError:
        print("cannot drop privileges")
        raise SystemExit
path = os.path.join({folder!r}, "map.img")
print(m.save_to_file(path))
print(TolvaneBlobMap.load_from_file(path).get(2))
""", timeout=30)
        if out.startswith("cannot drop privileges"):
            pytest.skip("privileges cannot be dropped here")
        assert out.splitlines() == ["152", "(b'abcdefghi!', 0)"]
        assert os.listdir(folder) == ["map.img"]
    finally:
        os.chmod(folder, 0o700)
        shutil.rmtree(folder)


# ---- file names -------------------------------------------------------------------

def test_the_longest_file_name_saves_loads_and_fails_cleanly(tmp_path):
    name = "n" * 255
    folder = tmp_path / "long"
    folder.mkdir()
    path = str(folder / name)
    out = run_child(EXAMPLE_MAP + f"""
import resource, signal
print(m.save_to_file({path!r}))
print(TolvaneBlobMap.load_from_file({path!r}).get(2))
big = TolvaneBlobMap(4096)
for k in range(100):
    big.insert(k, b"x" * 100, 1)
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (1000, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
try:
    big.save_to_file({path!r})
except OSError as e:
    print(e)
""", timeout=30)
    assert out.splitlines() == ["152", "(b'abcdefghi!', 0)",
                                "Failed to save file: File too large (os error 27)"]
    # The failed save left the previous image and nothing else.
    assert os.listdir(folder) == [name]
    assert (folder / name).read_bytes() == example_image(tmp_path)


# ---- files far larger than their header allows ------------------------------------

def test_huge_files_are_refused_from_their_header(tmp_path):
    good = example_image(tmp_path)
    headers = {
        "zeros.img": b"",
        "newer.img": good[:8] + struct.pack("<I", 3),
        # Two chunks of 1 GiB: more than a loaded map may hold.
        "ceiling.img": good[:48] + struct.pack("<QQ", 1 << 30, 2),
    }
    for name, header in headers.items():
        with open(tmp_path / name, "wb") as f:
            f.write(header)
            f.truncate(2 << 30)
    out = run_child(f"""
from tolvane_trie import TolvaneBlobMap
for name in {list(headers)!r}:
    try:
        TolvaneBlobMap.load_from_file({str(tmp_path)!r} + "/" + name)
    except OSError as e:
        print(e)
with open("/proc/self/status") as status:
    peak = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
print(peak < 64 * 1024)
""", timeout=120)
    assert out.splitlines() == [
        "Failed to load file: Corrupted blob record header",
        "Failed to load file: Unsupported image format version 3 "
        "(this build reads and writes version 2)",
        "Failed to load file: Arena growth exceeded the addressable/allowed ceiling",
        "True",
    ]
