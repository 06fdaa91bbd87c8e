"""Measuring in a fresh process: a task (a training, an encoding, ...) runs in a new interpreter
as `python bench/child.py TASK.json`, or a program runs as given, and the parent takes its wall
time, user+sys CPU time and peak resident memory with wait4, so the figures are that run's."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent


def run_process(argv, logs: Path, name: str, env: dict, timeout=None) -> dict:
    """Runs `argv` with its output in logs/NAME.stdout and .stderr, killed past `timeout`
    seconds; returns the wait4 figures."""
    logs.mkdir(parents=True, exist_ok=True)
    out_log, err_log = logs / f"{name}.stdout", logs / f"{name}.stderr"
    load_before, timed_out = os.getloadavg()[0], False
    with open(out_log, "wb") as out, open(err_log, "wb") as err:
        t0 = time.perf_counter()
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=env)
        while not (reaped := os.wait4(proc.pid, os.WNOHANG))[0]:
            if timeout and time.perf_counter() - t0 > timeout:
                os.kill(proc.pid, signal.SIGKILL)
                reaped, timed_out = os.wait4(proc.pid, 0), True
                break
            time.sleep(0.02)
        wall = time.perf_counter() - t0
    _, status, usage = reaped
    returncode = os.waitstatus_to_exitcode(status)  # reaped here, not by Popen
    record = {"ok": returncode == 0 and not timed_out, "returncode": returncode,
              "timed_out": timed_out, "proc_wall": wall,
              "proc_cpu": usage.ru_utime + usage.ru_stime, "maxrss_kib": usage.ru_maxrss,
              "load_before": load_before, "stdout": out_log.name, "stderr": err_log.name}
    if not record["ok"]:
        tail = err_log.read_bytes()[-2000:].decode("utf-8", "replace")
        record["error"] = "timed out" if timed_out else tail
    return record


def run_child(task: dict, workdir: Path, name: str, env_extra: dict, module_path, timeout=None):
    """Runs one task in a fresh interpreter; the task's own result (timed around the measured
    call only) is merged in under "result"."""
    logs = workdir / "logs"
    logs.mkdir(parents=True, exist_ok=True)
    task = dict(task, result=str(logs / f"{name}.result.json"))
    task_file = logs / f"{name}.task.json"
    task_file.write_text(json.dumps(task))
    Path(task["result"]).unlink(missing_ok=True)
    env = {k: v for k, v in os.environ.items() if k != "RAYON_NUM_THREADS"}
    if module_path:
        env["PYTHONPATH"] = str(module_path)
    record = run_process([sys.executable, str(HERE / "child.py"), str(task_file)], logs, name,
                         env | env_extra, timeout)
    if record["ok"]:
        record["result"] = json.loads(Path(task["result"]).read_text())
    return record


if __name__ == "__main__":
    sys.path.insert(0, str(HERE))
    import peers

    task = json.loads(Path(sys.argv[1]).read_text())
    result = peers.TASKS[task["kind"]](task)
    result["vm_hwm_kib"] = peers.vm_kib("VmHWM")
    Path(task["result"]).write_text(json.dumps(result))
