"""Encoding of a dictionary job content for the upload: the module's encoder
(reached through `OffloadTask._upload_job_content` with a session that only
keeps the uploaded bytes) against `json.dumps(obj).encode()`, measured in the
same run on two job contents of 10^6 records each:

- node-like records ("Add", {"x": 1.5, "y": 0.0, "z": 3});
- records of the same shape holding random doubles.

Prints time, MB/s and the ratio, and the peak memory of each path: traced by
tracemalloc, and the growth of the peak resident set in a fresh process.
"""

from __future__ import annotations

import gc
import json
import random
import subprocess
import sys
import time
import tracemalloc

import tessel.external.offload_task as offload_task

RECORDS = 10**6
REPEATS = 5


def node_records() -> dict:
    return {"command": "Run", "instructions": [("Add", {"x": 1.5, "y": 0.0, "z": 3}) for _ in range(RECORDS)],
            "version": 1, "execution_timeout": 60}


def random_double_records() -> dict:
    rnd = random.Random(20240601)
    u = rnd.uniform
    return {"command": "Run",
            "instructions": [("Add", {"x": u(-1e3, 1e3), "y": u(-1e3, 1e3), "z": u(-1e3, 1e3)}) for _ in range(RECORDS)],
            "version": 1, "execution_timeout": 60}


CONTENTS = {"node records": node_records, "random doubles": random_double_records}


class _Response:
    status_code = 204


class _Session:
    uploaded: bytes | None = None

    def post(self, url, **kwargs):
        _Session.uploaded = kwargs["files"]["file"]
        return _Response()


class _Context:
    session_with_retries_no_read = _Session()


offload_task._Context = _Context
offload_task._get_requests_user_agent_header = lambda: {}


def module_encode(content: dict) -> bytes:
    offload_task.OffloadTask._upload_job_content("https://storage.test/upload", {}, content)
    data, _Session.uploaded = _Session.uploaded, None
    return data


def stdlib_encode(content: dict) -> bytes:
    return json.dumps(content).encode()


METHODS = {"module": module_encode, "stdlib": stdlib_encode}


def best_times(content) -> dict[str, float]:
    """Best time of each method; the runs alternate so that a change of load
    on the machine hits both alike."""
    best = dict.fromkeys(METHODS, float("inf"))
    for _ in range(REPEATS):
        for name, encode in METHODS.items():
            start = time.perf_counter()
            encode(content)
            best[name] = min(best[name], time.perf_counter() - start)
    return best


def traced_peak(encode, content) -> int:
    tracemalloc.start()
    tracemalloc.reset_peak()
    base = tracemalloc.get_traced_memory()[0]
    data = encode(content)
    peak = tracemalloc.get_traced_memory()[1] - base
    tracemalloc.stop()
    del data
    return peak


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))


def rss_growth_child(content_name: str, method: str) -> None:
    """Run in a fresh process: growth of the peak resident set while encoding."""
    content = CONTENTS[content_name]()
    gc.collect()
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # resets the peak (VmHWM) to the current resident set
    before = _status_kib("VmRSS")
    METHODS[method](content)
    print(_status_kib("VmHWM") - before)


def rss_growth(content_name: str, method: str) -> int:
    out = subprocess.run([sys.executable, __file__, "--rss", content_name, method],
                         check=True, capture_output=True, text=True).stdout
    return int(out) * 1024


def main() -> None:
    mb = 1e6
    print(f"json encoding of a job content, {RECORDS} records, best of {REPEATS}")
    for name, make in CONTENTS.items():
        content = make()
        expected = stdlib_encode(content)
        assert module_encode(content) == expected, "encoder output differs from json.dumps"
        size = len(expected)
        del expected
        times = best_times(content)
        traced = {m: traced_peak(f, content) for m, f in METHODS.items()}
        rss = {m: rss_growth(name, m) for m in METHODS}
        print(f"\n{name}: {size / mb:.1f} MB of JSON")
        for m in METHODS:
            print(f"  {m:7s} {times[m] * 1e3:8.1f} ms  {size / mb / times[m]:8.1f} MB/s"
                  f"  peak traced {traced[m] / mb:7.1f} MB  peak RSS growth {rss[m] / mb:7.1f} MB")
        print(f"  speed-up {times['stdlib'] / times['module']:.1f}x"
              f"  traced peak ratio {traced['module'] / traced['stdlib']:.2f}"
              f"  RSS peak ratio {rss['module'] / rss['stdlib']:.2f}")


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--rss":
        rss_growth_child(sys.argv[2], sys.argv[3])
    else:
        main()
