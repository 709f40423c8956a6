"""What the local job platform adds to a job and to big transfers.

Prints, each beside plain `requests` against a bare Werkzeug app in the same
run, with the ratio platform / plain:
- round trip of a trivial job (create, upload, start, poll, download) in ms,
  once as the five requests without pauses and once as OffloadTask.execute
  (which pauses 0.5 s between start and the first poll by design);
- upload and download of 1 GiB: throughput, and peak RSS of the client and
  the server, each measured in a process of its own.

The platform side of the transfers is the module's own code:
OffloadTask._upload_job_content streaming a File as a multipart form, and
File.from_url (what the streamed result queues use) for the download. Plain
requests streams the same file as a raw body and downloads with iter_content.
"""

from __future__ import annotations

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
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
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


def round_trip_ms(platform: dict, plain: dict) -> tuple[float, float, float]:
    import requests

    from tessel import core
    from tessel.external.offload_task import OffloadTask, _JobContent

    headers = {"Authorization": f"Bearer {platform['token']}"}

    def platform_job():
        job = requests.post(platform["api_url"] + "jobs/echo/", json={}, headers=headers, timeout=10).json()
        requests.post(job["upload_url"], data=job["upload_data"], files={"file": b'{"a": 1}'}, timeout=10)
        requests.post(platform["api_url"] + f"jobs/echo/{job['id']}/start/", headers=headers, timeout=10)
        answer = wait_for_end(platform, "echo", job["id"])
        requests.get(answer["result_url"], timeout=10).json()

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

    def timed(job, count):
        job()
        samples = []
        for _ in range(count):
            start = time.perf_counter()
            job()
            samples.append((time.perf_counter() - start) * 1000)
        return statistics.median(samples)

    core._Context.job_token = platform["token"]
    os.environ["TESSEL_API_URL"] = platform["api_url"]
    return (timed(platform_job, ROUND_TRIPS), timed(plain_job, ROUND_TRIPS),
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
    write_content(content)
    size = content.stat().st_size
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
    elif len(sys.argv) == 3 and sys.argv[1] == "--serve-plain":
        serve_plain(sys.argv[2])
    elif len(sys.argv) == 4 and sys.argv[1] == "--client":
        print(json.dumps(client(sys.argv[2], json.loads(sys.argv[3]))))
    else:
        main()
