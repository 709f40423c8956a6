"""Cost of the local Plexum worker's result page against the whole job.

The models are those of bench_plexum_worker.py: slabs of n x n quadrilaterals
and multi-storey frames. For each, the job runs stage by stage (replay,
analysis, results) and then the result page alone, which prints its time, its
share of the job, its size and the peak of the memory it allocates (numpy's
arrays included, as tracemalloc sees them). Targets: the page within 20 % of
the job's time and 10 MB, and under 1 GB at its peak.
"""

from __future__ import annotations

import argparse
import time
import tracemalloc
from typing import Any

from bench_plexum_worker import frame, slab  # the same models as the worker's benchmark

from tessel.local.plexum_worker import report, results
from tessel.local.plexum_worker.pipeline import analyse
from tessel.local.plexum_worker.replay import Replayer, refuse_unsupported

SHARE, SIZE, PEAK = 0.20, 10e6, 1e9


def measure(label: str, content: dict[str, Any]) -> None:
    started = time.perf_counter()
    replayer = Replayer()
    model = replayer.replay_model(content["Model"])
    request = replayer.replay_results(content["Results"])
    refuse_unsupported(model)
    solution = analyse(model)
    answer = results.collect(solution, request)
    computed = time.perf_counter()
    tracemalloc.start()
    page = report.result_file(model, answer, solution)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    drawn = time.perf_counter()
    # The page again without tracing, for its time alone.
    page = report.result_file(model, answer, solution)
    page_time = time.perf_counter() - drawn
    job = computed - started + page_time
    share = page_time / job
    verdict = "met" if share <= SHARE and len(page) <= SIZE and peak <= PEAK else "MISSED"
    print(f"{label}: job {job:6.2f} s, page {page_time:5.2f} s = {100 * share:4.1f} % of it, "
          f"{len(page) / 1e6:5.2f} MB, peak {peak / 1e6:6.0f} MB ({verdict})", flush=True)


def square_slab(count: int) -> dict[str, Any]:
    """The benchmark's 25 m square slab in count x count quadrilaterals."""
    return slab(count, 25.0 / count)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--large", action="store_true", help="also the slab of 40,000 quadrilaterals and the "
                        "frame of about 10,000 beams")
    args = parser.parse_args()
    measure("slab of 2,500 quadrilaterals", square_slab(50))
    measure("slab of 14,400 quadrilaterals", square_slab(120))
    content, beams = frame(5, 5, 15)
    measure(f"frame of {beams:,} beams", content)
    if args.large:
        measure("slab of 40,000 quadrilaterals", square_slab(200))
        content, beams = frame(11, 11, 30)
        measure(f"frame of {beams:,} beams", content)


if __name__ == "__main__":
    main()
