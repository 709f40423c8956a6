"""The script a Tressa job runs next to Tressa (here a stand-in that needs no Tressa).

It runs in a directory holding the job's input files and writes its output
files there. It reads member lengths from input1.txt ("name length" per line)
and writes their total to output.txt.
"""

from pathlib import Path

lines = Path("input1.txt").read_text(encoding="utf-8").splitlines()
lengths = {name: float(value) for name, value in (line.split() for line in lines if line.strip())}
Path("output.txt").write_text(
    f"members: {len(lengths)}\ntotal length: {sum(lengths.values()):.2f} m\n", encoding="utf-8"
)
