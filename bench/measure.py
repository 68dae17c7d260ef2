"""What the benchmarks measure with: the median time of repeated calls, the
memory figures the kernel keeps for this process, a case run in a fresh
process, and where the results are written."""

import json
import statistics
import subprocess
import sys
import time
from pathlib import Path

RESULTS = Path(__file__).resolve().parent / "results"


def median_seconds(function, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def interleaved_seconds(functions, repeats):
    """Per name, the median wall and CPU seconds (all threads) of its calls,
    the calls of every function taken in turn so that a burst of other work
    on a shared machine meets them alike."""
    wall = {name: [] for name in functions}
    cpu = {name: [] for name in functions}
    for _ in range(repeats):
        for name, function in functions.items():
            start, start_cpu = time.perf_counter(), time.process_time()
            function()
            wall[name].append(time.perf_counter() - start)
            cpu[name].append(time.process_time() - start_cpu)
    return ({name: statistics.median(times) for name, times in wall.items()},
            {name: statistics.median(times) for name, times in cpu.items()})


def peak_extra_kib(function):
    """`function()`'s result and the peak resident memory it took above what
    was resident before it ran, in KiB: the kernel's high-water mark (VmHWM)
    starts again from what is resident when the call begins."""
    Path("/proc/self/clear_refs").write_text("5")
    before = status_kib("VmRSS")
    result = function()
    return result, status_kib("VmHWM") - before


def status_kib(field):
    """A field of /proc/self/status in KiB: VmRSS, VmHWM, RssAnon, ..."""
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise KeyError(field)


def child_json(script, *args):
    """Runs `script` with `args` in a fresh interpreter; the JSON object its
    last line of output holds."""
    output = subprocess.run([sys.executable, str(script), *map(str, args)],
                            check=True, capture_output=True, text=True).stdout
    return json.loads(output.strip().splitlines()[-1])


def write_result(name, text):
    """bench/results/`name`, holding `text`."""
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / name).write_text(text)
