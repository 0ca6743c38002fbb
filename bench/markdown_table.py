"""Markdown pieces both benchmark reports write: table rows, ratios, and the
marked section of docs/benchmarks.md that a run replaces.

Each report owns one section between its own begin / end markers, so the
engine and Python runs can refresh their tables independently.
"""


def row(cells):
    return "| " + " | ".join(cells) + " |"


def header(cells):
    """The head row and the separator under it."""
    return [row(cells), "|" + "---|" * len(cells)]


def ratio(a, b):
    """ours / peer with two decimals, a dash where either side is missing."""
    return "–" if a is None or b is None or b == 0 else f"{a / b:.2f}"


def write_section(path, text, begin, end):
    """Replaces the text between begin and end in path (markers included in
    text), or appends text when the markers are absent."""
    try:
        with open(path) as f:
            old = f.read()
    except FileNotFoundError:
        old = "# Benchmarks\n\n"
    if begin in old and end in old:
        head, rest = old.split(begin, 1)
        tail = rest.split(end, 1)[1].lstrip("\n")
        new = head + text + ("\n" + tail if tail else "")
    else:
        new = old.rstrip("\n") + "\n\n" + text
    with open(path, "w") as f:
        f.write(new)
