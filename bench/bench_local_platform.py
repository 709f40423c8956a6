"""What the local job platform adds to a job and to big transfers.

Prints, each beside plain `requests` against a bare Werkzeug app in the same
run, with the ratio platform / plain:
- round trip of a trivial job (create, upload, start, poll, download) in ms,
  once as the five requests without pauses and once as OffloadTask.execute
  (which pauses 0.5 s between start and the first poll by design);
- round trips of small jobs by where their worker runs: the echo worker and
  the Plexum worker on a portal frame, each in a platform thread and in a
  worker process (warm, and the first job after registering the queue);
- upload and download of 1 GiB: throughput, and peak RSS of the client and
  the server, each measured in a process of its own.

The platform side of the transfers is the module's own code:
OffloadTask._upload_job_content streaming a File as a multipart form, and
File.from_url (what the streamed result queues use) for the download. Plain
requests streams the same file as a raw body and downloads with iter_content.

``--latency`` prints the round trips only.
"""

from __future__ import annotations

import inspect
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

GIB = 1 << 30
CHUNK = 1 << 20
ROUND_TRIPS = 40
EXECUTE_ROUND_TRIPS = 8
PLEXUM_ROUND_TRIPS = 20


def vm(name: str, pid: int | str = "self") -> int:
    """A memory figure of /proc/<pid>/status in bytes (VmRSS, VmHWM)."""
    with open(f"/proc/{pid}/status") as status:
        return int(re.search(name + r":\s+(\d+) kB", status.read()).group(1)) * 1024


def reset_peak(pid: int | str = "self") -> None:
    """Reset the peak RSS (VmHWM) of a process to its current RSS."""
    with open(f"/proc/{pid}/clear_refs", "w") as clear:
        clear.write("5")


def mib(n: float) -> str:
    return f"{n / CHUNK:.1f} MiB"


# -- servers, each run as a child process ---------------------------------------


def serve_platform(result_path: str) -> None:
    from tessel.local import LocalPlatform, echo_worker

    with LocalPlatform(max_upload_size=4 * GIB) as platform:
        platform.register("echo", echo_worker)
        platform.register("sink", lambda path: {"size": path.stat().st_size}, content="path")
        platform.register("source", lambda content: Path(result_path))
        print(json.dumps({"api_url": platform.api_url, "token": platform.token}), flush=True)
        sys.stdin.read()


def serve_small_jobs() -> None:
    """A platform serving echo and Plexum queues in threads and, where it can, in worker processes."""
    from tessel.local import LocalPlatform, echo_worker
    from tessel.local.plexum_worker import PlexumWorker

    with LocalPlatform() as platform:
        platform.register("echo-thread", echo_worker)
        platform.register("plexum-thread", PlexumWorker())
        processes = "isolated" in inspect.signature(platform.register).parameters
        if processes:
            platform.register("echo-process", echo_worker, isolated=True)
            platform.register("plexum-process", PlexumWorker(), isolated=True)
        print(json.dumps({"api_url": platform.api_url, "token": platform.token, "processes": processes}),
              flush=True)
        for line in sys.stdin:  # "register QUEUE": a fresh queue served by the Plexum worker in processes
            platform.register(line.split()[1], PlexumWorker(), isolated=True)
            print("registered", flush=True)


def serve_plain(result_path: str) -> None:
    from werkzeug.serving import WSGIRequestHandler, make_server
    from werkzeug.wrappers import Response
    from werkzeug.wsgi import wrap_file

    class Quiet(WSGIRequestHandler):
        def log(self, *args):
            pass

    directory = tempfile.mkdtemp(prefix="bench-plain-")

    def app(environ, start_response):
        path, method = environ["PATH_INFO"], environ["REQUEST_METHOD"]
        stream = environ["wsgi.input"]
        if path == "/sink":
            target = Path(directory) / "sink"
            size, left = 0, int(environ.get("CONTENT_LENGTH") or 0)
            with open(target, "wb") as out:
                while left and (piece := stream.read(min(CHUNK, left))):
                    out.write(piece)
                    size += len(piece)
                    left -= len(piece)
            target.unlink()
            response = Response(json.dumps({"size": size}), mimetype="application/json")
        elif path == "/source":
            file = open(result_path, "rb")
            response = Response(wrap_file(environ, file, buffer_size=CHUNK), direct_passthrough=True,
                                headers={"Content-Length": str(os.path.getsize(result_path))})
        else:
            if method == "POST":
                stream.read(int(environ.get("CONTENT_LENGTH") or 0))
            response = Response(json.dumps({"ok": True}), mimetype="application/json")
        return response(environ, start_response)

    server = make_server("127.0.0.1", 0, app, threaded=True, request_handler=Quiet)
    import threading

    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(json.dumps({"url": f"http://127.0.0.1:{server.server_port}/"}), flush=True)
    sys.stdin.read()
    server.shutdown()
    os.rmdir(directory)


# -- client phases, each run as a child process -----------------------------------


def client(phase: str, config: dict) -> dict:
    import requests

    from tessel import core

    before = vm("VmRSS")
    if phase == "upload-platform":
        from tessel.external.offload_task import OffloadTask

        headers = {"Authorization": f"Bearer {config['token']}"}
        job = requests.post(config["api_url"] + "jobs/sink/", json={}, headers=headers, timeout=10).json()
        start = time.perf_counter()
        OffloadTask._upload_job_content(job["upload_url"], job["upload_data"], core.File.from_path(config["content"]))
        seconds = time.perf_counter() - start
        requests.post(config["api_url"] + f"jobs/sink/{job['id']}/start/", headers=headers, timeout=10)
        answer = wait_for_end(config, "sink", job["id"])
        received = requests.get(answer["result_url"], timeout=10).json()["size"]
    elif phase == "upload-plain":
        start = time.perf_counter()
        with open(config["content"], "rb") as body:
            received = requests.post(config["url"] + "sink", data=body, timeout=(10, 300)).json()["size"]
        seconds = time.perf_counter() - start
    elif phase == "download-platform":
        headers = {"Authorization": f"Bearer {config['token']}"}
        job = requests.post(config["api_url"] + "jobs/source/", json={}, headers=headers, timeout=10).json()
        requests.post(job["upload_url"], data=job["upload_data"], files={"file": b"{}"}, timeout=10)
        requests.post(config["api_url"] + f"jobs/source/{job['id']}/start/", headers=headers, timeout=10)
        answer = wait_for_end(config, "source", job["id"])
        start = time.perf_counter()
        file = core.File.from_url(answer["result_url"])
        seconds = time.perf_counter() - start
        received = os.path.getsize(file.source)
    elif phase == "download-plain":
        target = Path(tempfile.mkdtemp(prefix="bench-client-")) / "download"
        start = time.perf_counter()
        with requests.get(config["url"] + "source", stream=True, timeout=(10, 300)) as response, \
                open(target, "wb") as out:
            for piece in response.iter_content(CHUNK):
                out.write(piece)
        seconds = time.perf_counter() - start
        received = target.stat().st_size
        target.unlink()
        target.parent.rmdir()
    else:
        raise SystemExit(f"unknown phase {phase}")
    return {"seconds": seconds, "received": received, "peak": vm("VmHWM"), "growth": vm("VmHWM") - before}


def wait_for_end(config: dict, queue: str, job_id: str) -> dict:
    import requests

    headers = {"Authorization": f"Bearer {config['token']}"}
    while True:
        answer = requests.get(config["api_url"] + f"jobs/{queue}/{job_id}", headers=headers, timeout=10)
        if answer.status_code == 200:
            return answer.json()
        time.sleep(0.001)


# -- the run --------------------------------------------------------------------------


def start_server(mode: str, result_path: Path) -> tuple[subprocess.Popen, dict]:
    server = subprocess.Popen([sys.executable, __file__, mode, str(result_path)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
    return server, json.loads(server.stdout.readline())


def run_client(phase: str, config: dict, server: subprocess.Popen) -> dict:
    reset_peak(server.pid)
    server_before = vm("VmRSS", server.pid)
    out = subprocess.run([sys.executable, __file__, "--client", phase, json.dumps(config)],
                         capture_output=True, text=True, check=True).stdout
    report = json.loads(out)
    report["server_peak"] = vm("VmHWM", server.pid)
    report["server_growth"] = report["server_peak"] - server_before
    return report


def platform_job(platform: dict, queue: str, content: bytes) -> dict:
    """One job through the five requests, polling every millisecond; returns its final poll answer."""
    import requests

    headers = {"Authorization": f"Bearer {platform['token']}"}
    job = requests.post(platform["api_url"] + f"jobs/{queue}/", json={}, headers=headers, timeout=10).json()
    requests.post(job["upload_url"], data=job["upload_data"], files={"file": content}, timeout=10)
    requests.post(platform["api_url"] + f"jobs/{queue}/{job['id']}/start/", headers=headers, timeout=10)
    answer = wait_for_end(platform, queue, job["id"])
    assert answer["status"] == "SUCCESS", answer
    requests.get(answer["result_url"], timeout=10).json()
    return answer


def timed(job, count: int) -> float:
    """Median milliseconds of `count` runs of `job()` after one unmeasured run."""
    job()
    samples = []
    for _ in range(count):
        start = time.perf_counter()
        job()
        samples.append((time.perf_counter() - start) * 1000)
    return statistics.median(samples)


def plexum_frame_content() -> bytes:
    """The job content of a portal frame (three beams, one load case), as PlexumAnalysis sends it."""
    from tessel.external.plexum import LoadCombination, Material, Model, PlexumAnalysis

    model = Model()
    concrete = model.materials.add_from_catalog("C30/37", Material.DesignCode.EURO_CODE)
    section = model.cross_sections.create_rectangular(0.3, 0.6)
    feet = [model.nodes.create(x, 0.0, 0.0) for x in (0.0, 6.0)]
    tops = [model.nodes.create(x, 0.0, 4.0) for x in (0.0, 6.0)]
    beams = [model.lines.create(a, b).define_as_beam(concrete, section)
             for a, b in ((feet[0], tops[0]), (feet[1], tops[1]), (tops[0], tops[1]))]
    for foot in feet:
        model.node_supports.create_relative_to_member(foot, stiffness_x=1e10, stiffness_y=1e10, stiffness_z=1e10,
                                                      stiffness_xx=1e10, stiffness_yy=1e10, stiffness_zz=1e10)
    dead = model.load_cases.create("self-weight")
    for beam in beams:
        model.loads.create_beam_self_weight(dead, beam)
    model.load_combinations.create(LoadCombination.Type.ULS, {dead: 1.35})
    model.results.nodal_displacements()
    analysis = PlexumAnalysis(model, return_results=True)
    return json.dumps(analysis._get_job_content(timeout=60)).encode()


def small_job_latencies(platform: dict, server: subprocess.Popen) -> None:
    frame = plexum_frame_content()
    print("round trip of small jobs by where the worker runs (median of "
          f"{ROUND_TRIPS} echo / {PLEXUM_ROUND_TRIPS} frame jobs, 5 requests each)")
    places = ["thread"] + (["process"] if platform["processes"] else [])
    for place in places:  # first jobs: the worker processes have imported their worker once these end
        platform_job(platform, f"echo-{place}", b'{"a": 1}')
        platform_job(platform, f"plexum-{place}", frame)
    for place in places:
        echo = timed(lambda: platform_job(platform, f"echo-{place}", b'{"a": 1}'), ROUND_TRIPS)
        plexum = timed(lambda: platform_job(platform, f"plexum-{place}", frame), PLEXUM_ROUND_TRIPS)
        print(f"  {place:8} echo {echo:8.2f} ms   Plexum portal frame {plexum:8.2f} ms")
    if platform["processes"]:
        firsts = []
        for n in range(3):
            server.stdin.write(f"register fresh-{n}\n")
            server.stdin.flush()
            server.stdout.readline()
            start = time.perf_counter()
            platform_job(platform, f"fresh-{n}", frame)
            firsts.append((time.perf_counter() - start) * 1000)
        print(f"  first Plexum job right after registering its queue (new worker process): "
              f"{statistics.median(firsts):8.2f} ms")


def round_trip_ms(platform: dict, plain: dict) -> tuple[float, float, float]:
    import requests

    from tessel import core
    from tessel.external.offload_task import OffloadTask, _JobContent

    headers = {"Authorization": f"Bearer {platform['token']}"}

    def plain_job():
        requests.post(plain["url"] + "small", json={}, headers=headers, timeout=10).json()
        requests.post(plain["url"] + "small", data={"k": "v"}, files={"file": b'{"a": 1}'}, timeout=10)
        requests.post(plain["url"] + "small", headers=headers, timeout=10)
        requests.get(plain["url"] + "small", headers=headers, timeout=10).json()
        requests.get(plain["url"] + "small", timeout=10).json()

    class Echo(OffloadTask):
        def __init__(self):
            super().__init__("echo", 1)

        def _generate_job_content(self):
            return _JobContent(a=1)

    core._Context.job_token = platform["token"]
    os.environ["TESSEL_API_URL"] = platform["api_url"]
    return (timed(lambda: platform_job(platform, "echo", b'{"a": 1}'), ROUND_TRIPS), timed(plain_job, ROUND_TRIPS),
            timed(lambda: Echo().execute(timeout=30), EXECUTE_ROUND_TRIPS))


def write_content(path: Path) -> None:
    piece = b"x" * CHUNK
    with open(path, "wb") as out:
        out.write(b'{"blob": "')
        for _ in range(GIB // CHUNK):
            out.write(piece)
        out.write(b'", "version": 1, "execution_timeout": 600}')


def main() -> None:
    directory = Path(tempfile.mkdtemp(prefix="bench-local-"))
    content = directory / "content.json"
    latency_only = sys.argv[1:] == ["--latency"]
    if latency_only:
        content.write_bytes(b"{}")
    else:
        write_content(content)
    size = content.stat().st_size
    small_jobs_server, small_jobs = start_server("--serve-small-jobs", content)
    try:
        small_job_latencies(small_jobs, small_jobs_server)
    finally:
        small_jobs_server.stdin.close()
        small_jobs_server.wait(timeout=30)
    if latency_only:
        content.unlink()
        directory.rmdir()
        return
    platform_server, platform = start_server("--serve-platform", content)
    plain_server, plain = start_server("--serve-plain", content)
    try:
        job_ms, plain_ms, execute_ms = round_trip_ms(platform, plain)
        print("round trip of a trivial job (median)")
        print(f"  platform, 5 requests   {job_ms:8.2f} ms")
        print(f"  plain requests, 5      {plain_ms:8.2f} ms   ratio {job_ms / plain_ms:.2f}")
        print(f"  OffloadTask.execute    {execute_ms:8.2f} ms   (includes its fixed 500 ms pause before "
              f"the first poll; {execute_ms - 500:.2f} ms without it)")

        config = {**platform, **plain, "content": str(content)}
        for direction in ("upload", "download"):
            ours = run_client(f"{direction}-platform", config, platform_server)
            base = run_client(f"{direction}-plain", config, plain_server)
            assert ours["received"] == base["received"] == size, (ours, base)
            print(f"{direction} of {mib(size)}")
            for name, r in (("platform", ours), ("plain requests", base)):
                print(f"  {name:15} {size / r['seconds'] / CHUNK:7.1f} MiB/s  {r['seconds']:6.2f} s   "
                      f"client peak RSS {mib(r['peak'])} (+{mib(r['growth'])})   "
                      f"server peak RSS {mib(r['server_peak'])} (+{mib(r['server_growth'])})")
            print(f"  ratio platform/plain: time {ours['seconds'] / base['seconds']:.2f}, "
                  f"client peak {ours['peak'] / base['peak']:.2f}, server peak "
                  f"{ours['server_peak'] / base['server_peak']:.2f}")
    finally:
        for server in (platform_server, plain_server):
            server.stdin.close()
            server.wait(timeout=30)
        for path in directory.iterdir():
            path.unlink()
        directory.rmdir()


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--serve-platform":
        serve_platform(sys.argv[2])
    elif len(sys.argv) == 3 and sys.argv[1] == "--serve-small-jobs":
        serve_small_jobs()
    elif len(sys.argv) == 3 and sys.argv[1] == "--serve-plain":
        serve_plain(sys.argv[2])
    elif len(sys.argv) == 4 and sys.argv[1] == "--client":
        print(json.dumps(client(sys.argv[2], json.loads(sys.argv[3]))))
    else:
        main()
