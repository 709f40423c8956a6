"""Streamed result content: finding a member and writing it into a file, against
the plain-Python way of the same work, on a result file of more than 1 GiB
whose members sit behind 700 MB of other content.

Prints, for each operation, the best time and MB/s of _StreamedDict and of
the plain-Python loop, their ratio, and the peak RSS above the baseline of a
fresh process doing the _StreamedDict call once; then `base64 -d` and
`gzip -dc` of the same data for scale. The file is generated here (in the
system's temporary directory) and removed afterwards.
"""

from __future__ import annotations

import base64
import binascii
import gc
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zlib

from tessel.core import File
from tessel.external.offload_task import _StreamedDict

MB = 1_000_000
MIB = 1 << 20
WINDOW = 65536

FILLER_TEXT = 700 * MB     # Base64 text of the member in front ("ModelFile")
RESULT_RAW = 240 * MIB     # bytes of the Base64 member ("ResultFile")
LOG_RAW = 240 * MIB        # bytes of the gzip+Base64 member before compression ("LogFile")


# ------------------------------------------------------------- the test file

def write_base64_member(out, name: str, chunks) -> int:
    """Writes `"name": "<Base64 of the chunks>"`; returns the text length."""
    out.write(b'"' + name.encode() + b'": "')
    length = 0
    for chunk in chunks:  # each a multiple of 3 bytes but the last
        text = base64.b64encode(chunk)
        out.write(text)
        length += len(text)
    out.write(b'"')
    return length


def random_chunks(total: int, size: int = 48 * MIB):
    for at in range(0, total, size):
        yield os.urandom(min(size, total - at))


def log_block() -> bytes:
    """About 4 MiB of a result table as text: ids, member names, load cases
    and forces with two decimals (compresses about 3:1)."""
    import random

    rng = random.Random(5)
    cases = ["ULS-1", "ULS-2", "SLS-1", "SLS-char", "ACC-fire"]
    lines = []
    size = 0
    i = 0
    while size < 4 * MIB:
        i += 1
        line = "%d;M%05d;%s;%d;%.2f;%.2f;%.2f;%.3f\n" % (
            i, i // 50, cases[i % 5], i % 11, rng.gauss(0, 300), rng.gauss(0, 40), rng.gauss(0, 5), rng.random())
        lines.append(line)
        size += len(line)
    return "".join(lines).encode()


def gzip_chunks(total: int):
    """The gzip stream of `total` bytes of log text, in pieces of 3*k bytes."""
    block = log_block()
    compressor = zlib.compressobj(6, zlib.DEFLATED, 31)
    carry = b""
    written = 0
    while written < total:
        piece = block[: total - written]
        written += len(piece)
        carry += compressor.compress(piece)
        cut = len(carry) - len(carry) % 3
        if cut:
            yield carry[:cut]
            carry = carry[cut:]
    yield carry + compressor.flush()


def make_result_file(path: str) -> dict:
    with open(path, "wb") as out:
        out.write(b"{")
        filler = write_base64_member(out, "ModelFile", random_chunks(FILLER_TEXT // 4 * 3))
        out.write(b", ")
        result_at = out.tell()
        result = write_base64_member(out, "ResultFile", random_chunks(RESULT_RAW))
        out.write(b", ")
        log = write_base64_member(out, "LogFile", gzip_chunks(LOG_RAW))
        out.write(b', "status": "done"}')
        size = out.tell()
    return {"size": size, "filler": filler, "result_at": result_at, "result": result, "log": log}


# ---------------------------------------------------------- plain Python

def python_find(f, word: bytes, start: int = 0) -> int:
    """A bytes.find loop over 64 KiB windows overlapping by len(word) - 1."""
    f.seek(0, os.SEEK_END)
    size = f.tell()
    position = start
    overlap = len(word) - 1
    while True:
        if overlap <= position < size:
            position -= overlap
        f.seek(position)
        buffer = f.read(WINDOW)
        if not buffer:
            return -1
        p = buffer.find(word)
        if p != -1:
            return position + p
        position += len(buffer)


def python_value_file(path: str, key: str, decompress: bool) -> str:
    """Finds the member, then decodes its value in 65536-character chunks with
    binascii.a2b_base64 (and zlib.decompressobj(31)) into a file."""
    out_path = path + ".out"
    with open(path, "rb") as f, open(out_path, "wb") as out:
        word = b'"' + key.encode() + b'":'
        f.seek(python_find(f, word) + len(word))
        while f.read(1) != b'"':
            pass
        inflater = zlib.decompressobj(31) if decompress else None
        while True:
            chunk = f.read(WINDOW)
            end = chunk.find(b'"')
            if end != -1:
                chunk = chunk[:end]
            data = binascii.a2b_base64(chunk)
            out.write(inflater.decompress(data) if inflater else data)
            if end != -1:
                break
    return out_path


# ------------------------------------------------------------- measuring

def rss_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field)


def measured(fn):
    """(seconds, peak RSS above the baseline in MiB, result) of fn()."""
    os.sync()  # no write-back of earlier runs' output competes with this one
    gc.collect()
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # resets the high-water mark to the current RSS
    baseline = rss_kib("VmRSS")
    t = time.perf_counter()
    result = fn()
    seconds = time.perf_counter() - t
    return seconds, (rss_kib("VmHWM") - baseline) / 1024, result


RSS_PROBE = """
import gc, sys
from tessel.core import File
from tessel.external.offload_task import _StreamedDict
sd = _StreamedDict(File.from_path(sys.argv[1]))
def status(field):
    for line in open("/proc/self/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1])
gc.collect()
open("/proc/self/clear_refs", "w").write("5")
baseline = status("VmRSS")
if sys.argv[2] == "find":
    with sd._file.open_binary() as f:
        _StreamedDict._find_word_position(f, sys.argv[3].encode())
else:
    result = sd.get_value_as_file(sys.argv[3], decompress=sys.argv[2] == "gzip")
print((status("VmHWM") - baseline) / 1024)
"""


def peak_rss_mib(path: str, operation: str, argument: str) -> float:
    """Peak RSS above the baseline of a fresh process doing one operation."""
    out = subprocess.run([sys.executable, "-c", RSS_PROBE, path, operation, argument],
                         check=True, capture_output=True, text=True).stdout
    return float(out)


def best_of(n, fn):
    runs = [measured(fn) for _ in range(n)]
    return min(runs, key=lambda r: r[0])


def tool_seconds(command: list[str], source: str, target: str) -> float:
    with open(source, "rb") as stdin, open(target, "wb") as stdout:
        t = time.perf_counter()
        subprocess.run(command, stdin=stdin, stdout=stdout, check=True)
        return time.perf_counter() - t


def line(label, seconds, megabytes, extra=""):
    print(f"  {label:<34} {seconds:7.3f} s {megabytes / seconds:9.0f} MB/s {extra}")


def main() -> int:
    directory = tempfile.mkdtemp(prefix="bench-streamed-")
    path = os.path.join(directory, "result.json")
    failures = []
    try:
        t = time.perf_counter()
        layout = make_result_file(path)
        print(f"result file: {layout['size'] / MB:.0f} MB ({layout['size'] / (1 << 30):.2f} GiB), "
              f"members behind {layout['result_at'] / MB:.0f} MB; made in {time.perf_counter() - t:.0f} s")
        print(f"  ResultFile: {layout['result'] / MB:.0f} MB of Base64; "
              f"LogFile: {layout['log'] / MB:.0f} MB of Base64 of gzip ({LOG_RAW / MB:.0f} MB inflated, "
              f"ratio {LOG_RAW / (layout['log'] * 3 / 4):.1f}:1)")
        with open(path, "rb") as f:  # into the page cache, for both sides alike
            while f.read(16 * MIB):
                pass
        sd = _StreamedDict(File.from_path(path))

        # -- find the member
        word = b'"ResultFile":'

        def ours_find():
            with sd._file.open_binary() as f:
                return _StreamedDict._find_word_position(f, word)

        def python_find_member():
            with open(path, "rb") as f:
                return python_find(f, word)

        ours_s, _, ours_at = best_of(3, ours_find)
        ours_rss = peak_rss_mib(path, "find", word.decode())
        plain_s, _, plain_at = best_of(3, python_find_member)
        assert ours_at == plain_at == layout["result_at"], (ours_at, plain_at)
        scanned = ours_at / MB
        print("find the member (_find_word_position):")
        line("_StreamedDict", ours_s, scanned, f"peak RSS +{ours_rss:.1f} MiB")
        line("bytes.find over 64 KiB windows", plain_s, scanned)
        ratio = plain_s / ours_s
        print(f"  ratio {ratio:.1f}x (target >= 3x)")
        if ratio < 3:
            failures.append("find")

        # -- value as a file
        for key, decompress, target, text_size in (
            ("ResultFile", False, 4.0, layout["result"]),
            ("LogFile", True, 1.5, layout["log"]),
        ):
            def ours_value():
                return sd.get_value_as_file(key, decompress=decompress)

            ours_s, _, file = best_of(3, ours_value)
            ours_rss = peak_rss_mib(path, "gzip" if decompress else "base64", key)
            plain_s, _, plain_path = best_of(3, lambda: python_value_file(path, key, decompress))
            same = os.path.getsize(file.source) == os.path.getsize(plain_path) and _same_content(file.source, plain_path)
            assert same, key
            kind = "gzip+Base64" if decompress else "Base64"
            print(f"get_value_as_file of the {kind} member {key} (MB/s of Base64 text):")
            line("_StreamedDict", ours_s, text_size / MB, f"peak RSS +{ours_rss:.1f} MiB")
            loop = "a2b_base64 + decompressobj(31) loop" if decompress else "a2b_base64 loop, 65536 chars"
            line(loop, plain_s, text_size / MB)
            ratio = plain_s / ours_s
            print(f"  ratio {ratio:.1f}x (target >= {target}x)")
            if ratio < target:
                failures.append(key)
            if ours_rss > 4:
                failures.append(key + " memory")

            # -- the command-line tools on the same data, for scale
            if not decompress:
                text_path = os.path.join(directory, "result.b64")
                with open(path, "rb") as f, open(text_path, "wb") as out:
                    f.seek(layout["result_at"] + len(word) + 2)
                    _copy(f, out, text_size)
                tool = tool_seconds(["base64", "-d"], text_path, text_path + ".out")
                line("base64 -d", tool, text_size / MB)
                os.remove(text_path)
                os.remove(text_path + ".out")
            else:
                gz = sd.get_value_as_file(key)  # the gzip bytes
                tool = tool_seconds(["gzip", "-dc"], gz.source, plain_path + ".gz.out")
                line("gzip -dc (of the decoded gzip bytes)", tool, os.path.getsize(gz.source) / MB,
                     f"({os.path.getsize(plain_path + '.gz.out') / MB / tool:.0f} MB/s inflated)")
                os.remove(plain_path + ".gz.out")
                os.remove(gz.source)
            os.remove(plain_path)
            os.remove(file.source)
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    if failures:
        print("below target:", ", ".join(failures))
    return 0


def _copy(f, out, n):
    while n > 0:
        chunk = f.read(min(n, 16 * MIB))
        out.write(chunk)
        n -= len(chunk)


def _same_content(a: str, b: str) -> bool:
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(16 * MIB), fb.read(16 * MIB)
            if x != y:
                return False
            if not x:
                return True


if __name__ == "__main__":
    sys.exit(main())
