"""The local script worker, called directly with job content."""

import base64
import json
import math
import os
import sys
import time
from pathlib import Path

import pytest

from tessel.local import ERROR, TIMEOUT_ERROR, WorkerFailure
from tessel.local.script_worker import ScriptWorker


def b64(data: bytes | str) -> str:
    return base64.b64encode(data.encode() if isinstance(data, str) else data).decode()


def job(script=None, *, files=(), outputs=(), key=None, timeout=30):
    return {"script": None if script is None else b64(script), "script_key": key,
            "input_files": [{"name": n, "body": b64(body)} for n, body in files],
            "output_filenames": list(outputs), "version": 1, "execution_timeout": timeout}


def failure(worker, content):
    with pytest.raises(WorkerFailure) as raised:
        worker(content)
    return raised.value.status, raised.value.message


def is_gone(pid: int) -> bool:
    """The process has ended (a zombie waiting for its parent counts as ended)."""
    try:
        state = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except (FileNotFoundError, ProcessLookupError):
        return True
    return state in ("Z", "X")


def wait_gone(pids, seconds=5.0) -> bool:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if all(is_gone(p) for p in pids):
            return True
        time.sleep(0.05)
    return False


SPAWNER = """
import os, subprocess, sys, time
child = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
open({pids!r}, "w").write(f"{{os.getpid()}} {{child.pid}}")
{tail}
"""


def test_runs_the_script_among_its_input_files():
    script = """
import os, pathlib, sys
text = pathlib.Path("in/a.txt").read_text()
pathlib.Path("out.txt").write_text(text.upper() + "|" + sys.executable)
pathlib.Path("sub").mkdir()
pathlib.Path("sub/b.bin").write_bytes(bytes(range(4)))
pathlib.Path("env.txt").write_text(str("TESSEL_JOB_TOKEN" in os.environ) + "|" + os.getcwd())
"""
    os.environ["TESSEL_JOB_TOKEN"] = "secret"
    try:
        result = ScriptWorker()(job(script, files=[("in/a.txt", "abc")], outputs=["out.txt", "sub/b.bin", "env.txt"]))
    finally:
        del os.environ["TESSEL_JOB_TOKEN"]
    out, binary, env = result["output_files"]
    assert out == {"name": "out.txt", "body": b64("ABC|" + sys.executable)}
    assert binary == {"name": "sub/b.bin", "body": b64(bytes(range(4)))}
    token_seen, cwd = base64.b64decode(env["body"]).decode().split("|")
    assert token_seen == "False" and not Path(cwd).exists()
    assert list(result) == ["output_files"]


@pytest.mark.parametrize(
    ("script", "outputs", "message"),
    [
        ("import sys; print('boom', file=sys.stderr); sys.exit(3)", [],
         "The script failed with exit code 3: boom"),
        ("raise SystemExit(1)", [], "The script failed with exit code 1"),
        ("import os, signal; os.kill(os.getpid(), signal.SIGTERM)", [], "The script failed with signal 15"),
        ("import sys; sys.stderr.write('warn\\n')", ["out.txt"],
         "The script did not write the output file 'out.txt': warn"),
        ("import os; os.mkdir('out.txt')", ["out.txt"], "The script did not write the output file 'out.txt'"),
        ("import os; os.symlink('/etc/hostname', 'out.txt')", ["out.txt"],
         "Refused output file 'out.txt': it leads out of the job directory"),
    ],
)
def test_failing_scripts(script, outputs, message):
    assert failure(ScriptWorker(), job(script, outputs=outputs)) == (ERROR, message)


def test_an_interpreter_that_cannot_start_fails_the_job():
    assert failure(ScriptWorker(python="/nonexistent/python"), job("pass")) == (
        ERROR, "The script could not be run: cannot start /nonexistent/python: No such file or directory")


def test_failure_quotes_the_tail_of_a_long_stderr():
    status, message = failure(ScriptWorker(), job("import sys; sys.stderr.write('x' * 5000 + 'END'); sys.exit(2)"))
    assert message == "The script failed with exit code 2: ..." + "x" * 1997 + "END"


def test_script_is_killed_with_its_children_at_the_time_out(tmp_path):
    pids = tmp_path / "pids"
    script = SPAWNER.format(pids=str(pids), tail="time.sleep(60)")
    started = time.monotonic()
    status, message = failure(ScriptWorker(), job(script, timeout=1.5))
    assert time.monotonic() - started < 10
    assert (status, message) == (TIMEOUT_ERROR, "The script did not finish within the execution time-out of "
                                                "1.5 seconds and was stopped")
    assert wait_gone(int(p) for p in pids.read_text().split())


def test_children_left_behind_by_a_finished_script_are_stopped(tmp_path):
    pids = tmp_path / "pids"
    ScriptWorker()(job(SPAWNER.format(pids=str(pids), tail="")))
    assert wait_gone([int(p) for p in pids.read_text().split()])


@pytest.mark.parametrize(
    "name", ["../x", "/etc/passwd", "a/../../x", "a/..", "", ".", "C:\\x", "C:x", "\\\\server\\share\\x",
             "..\\x", "a\0b"],
)
@pytest.mark.parametrize("kind", ["input", "output"])
def test_names_leaving_the_job_directory_are_refused(tmp_path, name, kind):
    marker = tmp_path / "ran"
    content = job(f"open({str(marker)!r}, 'w')", files=[(name, "x")] if kind == "input" else [],
                  outputs=[name] if kind == "output" else [])
    status, message = failure(ScriptWorker(), content)
    assert status == ERROR and message.startswith(f"Refused {kind} file name {name!r}: ")
    assert not marker.exists()


@pytest.mark.parametrize(
    ("content", "message"),
    [
        ({"script": "%%", "script_key": None}, "The body of the script is not valid Base64"),
        ({"script": b64("pass"), "input_files": [{"name": "a", "body": 5}]},
         "The body of input file 'a' is not Base64 text"),
        ({"script": b64("pass"), "input_files": [{"name": "a"}]},
         "An input file is not a record with name and body: {'name': 'a'}"),
        ({"script": b64("pass"), "input_files": {}}, "The input files are not a list"),
        ({"script": b64("pass"), "output_filenames": "out.txt"}, "The output file names are not a list"),
        ({"script": b64("pass"), "input_files": [{"name": "a", "body": ""}, {"name": "a/b", "body": ""}]},
         "Could not write the input file 'a/b': File exists"),
        ({}, "The job holds neither a script nor a script_key"),
        ({"script": b64("pass"), "script_key": "k"}, "The job holds both a script and a script_key; give only one"),
        ({"script_key": "missing"}, "No local script is configured for the script_key 'missing'"),
    ],
)
def test_unusable_job_content(content, message):
    assert failure(ScriptWorker(), {"execution_timeout": 30, **content}) == (ERROR, message)


REFUSED_TIMEOUT = "The execution_timeout must be a finite positive number of seconds, not "


@pytest.mark.parametrize(
    ("timeout", "message"),
    [
        (math.nan, REFUSED_TIMEOUT + "nan"),
        (math.inf, REFUSED_TIMEOUT + "inf"),
        (-math.inf, REFUSED_TIMEOUT + "-inf"),
        (-1, REFUSED_TIMEOUT + "-1"),
        (0, REFUSED_TIMEOUT + "0"),
        (0.0, REFUSED_TIMEOUT + "0.0"),
        (10**400, REFUSED_TIMEOUT + "an integer this large"),
        ("30", REFUSED_TIMEOUT + "'30'"),
        (None, REFUSED_TIMEOUT + "None"),
        (True, REFUSED_TIMEOUT + "True"),
        ([30], REFUSED_TIMEOUT + "[30]"),
        ("missing", "The job holds no execution_timeout"),
    ],
)
def test_execution_timeout_that_is_not_a_finite_positive_number_is_refused(tmp_path, timeout, message):
    marker = tmp_path / "ran"
    content = job(f"open({str(marker)!r}, 'w')")
    if timeout == "missing":
        del content["execution_timeout"]
    else:
        content["execution_timeout"] = timeout
    assert failure(ScriptWorker(), content) == (ERROR, message)
    assert not marker.exists()


# Leaves the script's session in two ways: a `setsid` child, and a daemon
# (fork, setsid, fork again, the middle process exits) that lost its parent.
SESSION_LEAVER = """
import os, subprocess, sys, time
sleeper = subprocess.Popen(["setsid", "sleep", "1000"])
read, write = os.pipe()
if os.fork() == 0:
    os.setsid()
    if os.fork() == 0:
        os.write(write, str(os.getpid()).encode())
        time.sleep(1000)
    os._exit(0)
os.close(write)
daemon = int(os.read(read, 32))
os.wait()
open({pids!r}, "w").write(f"{{os.getpid()}} {{sleeper.pid}} {{daemon}}")
{tail}
"""


@pytest.mark.parametrize(
    ("tail", "timeout", "status"),
    [("", 30, None), ("time.sleep(60)", 1, TIMEOUT_ERROR), ("sys.exit(5)", 30, ERROR)],
    ids=["finished", "timed-out", "failed"],
)
def test_processes_that_left_the_session_are_killed_when_the_job_ends(tmp_path, tail, timeout, status):
    pids = tmp_path / "pids"
    content = job(SESSION_LEAVER.format(pids=str(pids), tail=tail), timeout=timeout)
    started = time.monotonic()
    if status is None:
        assert ScriptWorker()(content) == {"output_files": []}
    else:
        assert failure(ScriptWorker(), content)[0] == status
    assert time.monotonic() - started < timeout + 3
    script, *left_behind = [int(p) for p in pids.read_text().split()]
    # Gone, not only signalled: nothing is left for anyone to reap either.
    assert len(left_behind) == 2 and [p for p in [script, *left_behind] if Path(f"/proc/{p}").exists()] == []


def test_local_scripts_only(tmp_path):
    local = tmp_path / "run.py"
    local.write_text("import pathlib; pathlib.Path('out.txt').write_text(pathlib.Path('in.txt').read_text() * 2)")
    worker = ScriptWorker(local_scripts={"run": local}, only_local_scripts=True)
    assert worker(job(key="run", files=[("in.txt", "ab")], outputs=["out.txt"])) == {
        "output_files": [{"name": "out.txt", "body": b64("abab")}]}
    assert failure(worker, job("print(1)")) == (
        ERROR, "This worker runs only local scripts, defined in its configuration file and selected through "
               "script_key; it does not run scripts sent with the job")
    # Input files cannot take the local script's place.
    assert worker(job(key="run", files=[("in.txt", "c"), ("run.py", "raise SystemExit(9)")],
                      outputs=["out.txt"]))["output_files"][0]["body"] == b64("cc")


def test_configuration_file(tmp_path):
    (tmp_path / "scripts").mkdir()
    (tmp_path / "scripts" / "a.py").write_text("open('o', 'w').write('A')")
    config = tmp_path / "worker.json"
    config.write_text(json.dumps({"local_scripts": {"a": "scripts/a.py"}, "only_local_scripts": True}))
    worker = ScriptWorker.from_config_file(config)
    assert worker.only_local_scripts and worker.local_scripts == {"a": tmp_path / "scripts" / "a.py"}
    assert worker(job(key="a", outputs=["o"]))["output_files"] == [{"name": "o", "body": b64("A")}]
