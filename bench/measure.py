"""What the benchmarks measure with: the median time of repeated calls, and
the memory figures the kernel keeps for this process."""

import statistics
import time
from pathlib import Path


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
