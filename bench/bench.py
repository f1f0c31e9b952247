#!/usr/bin/env python3
"""The benchmarks of the tray program against bench/baseline_tray, on private desktops.

    bench.py BUILD_DIR RESULTS_MD [--runs N] [--idle-seconds S] [--parallel N]

Every desktop is the acceptance tests' (tests/e2e/harness.py): Xvfb, trayer, private buses with a
mocked logind, the example machine tests/e2e/machines/demo.json. Each figure is taken in runs that
alternate between the program and the baseline (or that watch both over the same seconds), and
is reported as the median of the runs and the ratio of the medians.
"""

import argparse
import concurrent.futures
import json
import os
import platform
import signal
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))

import harness  # noqa: E402

ALL_TRACES = "bayminder.*=true"
NO_TRACES = "bayminder.*=false"


# ----- one process


def cpu_seconds(pid):
    """CPU time of every thread of pid so far, from the scheduler's nanosecond counters."""
    total = 0
    task_dir = f"/proc/{pid}/task"
    for tid in os.listdir(task_dir):
        try:
            with open(f"{task_dir}/{tid}/schedstat") as f:
                total += int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass  # a thread that ended just now
    return total / 1e9


def status_kib(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise harness.Failure(f"no {field} for process {pid}")


class Bench:
    def __init__(self, build, artifacts):
        self.program = os.path.join(build, "src", "app", "bayminder")
        self.baseline = os.path.join(build, "bench", "baseline_tray", "baseline_tray")
        self.watcher = os.path.join(build, "bench", "bench_icon_watch")
        self.tooltip = os.path.join(build, "bench", "tooltip_bench")
        self.artifacts = artifacts

    def desktop(self, name):
        return harness.Desktop(name, self.program, self.artifacts)

    def launch(self, desktop, which, rules=ALL_TRACES):
        """Starts the program or the baseline; returns (process, seconds from exec to its icon
        shown in trayer)."""
        watch = subprocess.Popen([self.watcher, "20"], env=desktop.env, stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True)
        try:
            harness.check(watch.stdout.readline().strip() == "ready", "the icon watcher failed")
            desktop.env["QT_LOGGING_RULES"] = rules
            exec_at = time.monotonic()
            if which == "program":
                proc = desktop.start()
            else:
                proc = harness.Program(desktop, [self.baseline])
            watch.stdin.write(f"{proc.pid}\n")
            watch.stdin.close()
            line = watch.stdout.readline().strip()
            harness.check(watch.wait(30) == 0 and line, f"no icon of the {which} within 20 s")
            return proc, float(line) - exec_at
        finally:
            if watch.poll() is None:
                watch.kill()
                watch.wait()

    @staticmethod
    def stop(proc):
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait_exit(5)

    @staticmethod
    def settled(proc, which):
        """Waits for the end of the program's start-up: its splash gone, its CD trays closed."""
        if which == "program":
            proc.trace.wait_for(r"^bayminder\.forms: hide frmSplash$", 15)
        time.sleep(0.5)

    # ----- start-up and memory: alternate starts on one desktop

    def startup_memory(self, runs, log):
        results = {"program": {"startup": [], "hwm": []}, "baseline": {"startup": [], "hwm": []}}
        with self.desktop("bench-startup") as desktop:
            order = ["program", "baseline"]
            for i in range(runs + 1):  # the first pair warms the caches and writes the settings
                for which in (order if i % 2 == 0 else order[::-1]):
                    proc, startup = self.launch(desktop, which, NO_TRACES)
                    icon_at = time.monotonic()
                    time.sleep(max(0.0, icon_at + 3.0 - time.monotonic()))
                    hwm = status_kib(proc.pid, "VmHWM")
                    self.stop(proc)
                    desktop.programs.remove(proc)
                    if i > 0:
                        results[which]["startup"].append(startup * 1000)
                        results[which]["hwm"].append(hwm / 1024)
                    log(f"start-up {which:8} run {i}: {startup * 1000:6.1f} ms, "
                        f"VmHWM {hwm / 1024:5.1f} MiB")
                    time.sleep(0.3)
        return results

    # ----- the storm of pointer moves: both running, storms alternate between the icons

    def storm(self, runs, log):
        out = {"program": [], "baseline": [], "rebuilds": [], "max_rebuilds": 0,
               "max_probes": 0, "probes": [], "rate": [], "min_gap": []}
        with self.desktop("bench-storm") as desktop:
            program, _ = self.launch(desktop, "program", ALL_TRACES)
            baseline, _ = self.launch(desktop, "baseline")
            self.settled(program, "program")
            icons = {"program": desktop.wait_tray_icon(program),
                     "baseline": desktop.wait_tray_icon(baseline)}
            procs = {"program": program, "baseline": baseline}
            for i in range(runs):
                for which in (("program", "baseline") if i % 2 == 0 else ("baseline", "program")):
                    desktop.move_pointer(500, 500)
                    # Past the tooltip's throttle, every status interval and Qt's tooltip
                    # fall-asleep time, so that every storm starts alike.
                    time.sleep(2.5)
                    x, y, w, h = icons[which]
                    cx, cy = x + w // 2, y + h // 2
                    steps = []
                    for k in range(500):
                        steps += ["mousemove", str(cx + (k % 2) * 2 - 1), str(cy), "sleep", "0.01"]
                    mark = program.trace.mark()
                    cpu0 = cpu_seconds(procs[which].pid)
                    began = time.monotonic()
                    desktop.xdotool(*steps)
                    ended = time.monotonic()
                    cpu = cpu_seconds(procs[which].pid) - cpu0
                    out[which].append(cpu)
                    out["rate"].append(500 / (ended - began))
                    note = ""
                    if which == "program":
                        self.storm_counts(program, mark, ended, out)
                        note = f", {out['rebuilds'][-1]} rebuilds, probes {out['probes'][-1]}"
                    log(f"storm    {which:8} run {i}: CPU {cpu:.3f} s, "
                        f"{500 / (ended - began):.0f} moves/s{note}")
        return out

    @staticmethod
    def storm_counts(program, mark, ended, out):
        """The most tooltip rebuilds and the most probes of any one drive in a second, over the
        storm and the rest after it (the pointer then rests on the icon: its tooltip comes)."""
        time.sleep(max(0.0, ended + 1.5 - time.monotonic()))
        rebuilds = [t for t, _ in program.trace.find(r"^bayminder\.tray: NIM_MODIFY ", mark)]
        probes = {}
        for t, m in program.trace.find(r"^bayminder\.mci: open ([A-Z]):", mark):
            probes.setdefault(m.group(1), []).append(t)

        def most_per_second(times):
            # Arrival times carry the reader's jitter: a window a little under a second.
            return max((sum(1 for u in times if t <= u < t + 0.95) for t in times), default=0)

        out["rebuilds"].append(len(rebuilds))
        out["probes"].append({d: len(ts) for d, ts in probes.items()})
        out["max_rebuilds"] = max(out["max_rebuilds"], most_per_second(rebuilds))
        out["max_probes"] = max([out["max_probes"]] + [most_per_second(ts)
                                                      for ts in probes.values()])
        gaps = [b - a for a, b in zip(rebuilds, rebuilds[1:])]
        if gaps:
            out["min_gap"].append(min(gaps))

    # ----- the shutdown countdown and idle: both on one desktop over the same seconds

    def countdown_once(self, name, log):
        with self.desktop(name) as desktop:
            program, _ = self.launch(desktop, "program", ALL_TRACES)
            baseline, _ = self.launch(desktop, "baseline")
            self.settled(program, "program")
            mark = program.trace.mark()
            cpu0 = (cpu_seconds(program.pid), cpu_seconds(baseline.pid))
            desktop.prepare_for_shutdown(True)
            began = time.monotonic()
            program.trace.wait_for(r"^bayminder\.forms: show frmMonitor$", 10, mark)
            ended, _ = program.trace.wait_for(r"^bayminder\.forms: hide frmMonitor$", 25, mark)
            cpu = (cpu_seconds(program.pid) - cpu0[0], cpu_seconds(baseline.pid) - cpu0[1])
            log(f"countdown {name}: program {cpu[0]:.3f} s, baseline {cpu[1]:.3f} s "
                f"over {ended - began:.1f} s")
            return cpu[0], cpu[1], ended - began

    def idle_once(self, name, seconds, log):
        with self.desktop(name) as desktop:
            program, _ = self.launch(desktop, "program", ALL_TRACES)
            baseline, _ = self.launch(desktop, "baseline")
            self.settled(program, "program")
            time.sleep(1.0)  # the last drive status intervals run out
            mark = program.trace.mark()
            running = running_timers(program.trace, 0)
            cpu0 = (cpu_seconds(program.pid), cpu_seconds(baseline.pid))
            time.sleep(seconds)
            cpu = (cpu_seconds(program.pid) - cpu0[0], cpu_seconds(baseline.pid) - cpu0[1])
            started = {m.group(1) for _, m in program.trace.find(r"^bayminder\.timer: start (\d+)",
                                                                 mark)}
            timers = sorted(set(running) | started, key=int)
            intervals = {}
            for _, m in program.trace.find(r"^bayminder\.timer: start (\d+) (\d+)$"):
                intervals[m.group(1)] = m.group(2)
            named = [f"#{t} ({intervals.get(t, '?')} ms)" for t in timers]
            log(f"idle {name}: program {cpu[0]:.4f} s, baseline {cpu[1]:.4f} s, "
                f"timers {named or 'none'}")
            return cpu[0], cpu[1], named

    def in_parallel(self, count, parallel, job):
        with concurrent.futures.ThreadPoolExecutor(parallel) as pool:
            return list(pool.map(job, range(count)))

    # ----- in-process

    def tooltip_runs(self, runs, log):
        out = {}
        for machine in ("fakes", "sim"):
            for drives in (24, 1):
                out[(machine, drives)] = []
            for i in range(runs):
                for drives in ((24, 1) if i % 2 == 0 else (1, 24)):
                    result = subprocess.run(
                        [self.tooltip, "--drives", str(drives), "--rebuilds", "300",
                         "--machine", machine], capture_output=True, text=True, timeout=120,
                        env=dict(os.environ, QT_QPA_PLATFORM="offscreen",
                                 QT_LOGGING_RULES=NO_TRACES))
                    harness.check(result.returncode == 0, f"tooltip_bench: {result.stderr}")
                    out[(machine, drives)].append(json.loads(result.stdout)["median_us"])
            log(f"tooltip {machine}: 24 drives {statistics.median(out[(machine, 24)]):.1f} us, "
                f"1 drive {statistics.median(out[(machine, 1)]):.1f} us")
        return out


def running_timers(trace, since):
    """Ids of the host timers that the trace shows running at its end."""
    running = set()
    for _, m in trace.find(r"^bayminder\.timer: (start|stop) (\d+)", since):
        if m.group(1) == "start":
            running.add(m.group(2))
        else:
            running.discard(m.group(2))
    return running


# ----- the report


def machine_text():
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    qt = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "libqt6core6"],
                        capture_output=True, text=True).stdout.strip() or "unknown"
    debian = "unknown"
    if os.path.exists("/etc/debian_version"):
        with open("/etc/debian_version") as f:
            debian = f.read().strip()
    with open("/proc/loadavg") as f:
        load = " ".join(f.read().split()[:3])
    return (f"{cpu}, {os.cpu_count()} cores, Linux {platform.release()}, Debian {debian}, "
            f"Qt {qt}; load average at the end {load}")


def med(values):
    return statistics.median(values) if values else float("nan")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("results")
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--idle-seconds", type=float, default=60)
    parser.add_argument("--parallel", type=int, default=5)
    args = parser.parse_args()
    sys.stdout.reconfigure(line_buffering=True)
    missing = harness.lacking(["Xvfb", "trayer"] + harness.NEEDS)
    if missing:
        print(f"bench: missing {', '.join(missing)}", file=sys.stderr)
        return 1
    artifacts = os.path.join(args.build, "bench", "artifacts")
    bench = Bench(args.build, artifacts)
    lock = threading.Lock()

    def log(text):
        with lock:
            print(f"  {text}")

    began = time.monotonic()
    print("tooltip rebuild, in-process")
    tooltip = bench.tooltip_runs(args.runs, log)
    print("start-up and memory")
    startup = bench.startup_memory(args.runs, log)
    print("storm of pointer moves")
    storm = bench.storm(args.runs, log)
    print(f"shutdown countdown ({min(args.parallel, 3)} desktops at a time)")
    countdown = bench.in_parallel(args.runs, min(args.parallel, 3),
                                  lambda i: bench.countdown_once(f"bench-countdown-{i}", log))
    print(f"idle, {args.idle_seconds:g} s ({args.parallel} desktops at a time)")
    idle = bench.in_parallel(args.runs, args.parallel,
                             lambda i: bench.idle_once(f"bench-idle-{i}", args.idle_seconds, log))
    total = time.monotonic() - began

    write_results(args, startup, storm, countdown, idle, tooltip, total)
    return 0


def write_results(args, startup, storm, countdown, idle, tooltip, total):
    rows = []

    def row(figure, program, baseline, ratio, goal, met):
        rows.append(f"| {figure} | {program} | {baseline} | {ratio} | {goal} | "
                    f"{'yes' if met else '**no**'} |")

    p, b = med(startup["program"]["startup"]), med(startup["baseline"]["startup"])
    row("start-up to tray icon (exec to embedded in trayer)", f"{p:.0f} ms", f"{b:.0f} ms",
        f"{p / b:.2f}", "ratio <= 1.25", p / b <= 1.25)
    p, b = med(startup["program"]["hwm"]), med(startup["baseline"]["hwm"])
    row("peak resident set (VmHWM) 3 s after the icon", f"{p:.1f} MiB", f"{b:.1f} MiB",
        f"{p / b:.2f}", "ratio <= 1.25", p / b <= 1.25)
    p, b = med([c[0] for c in countdown]), med([c[1] for c in countdown])
    span = med([c[2] for c in countdown])
    row(f"CPU over the shutdown countdown ({span:.1f} s, PrepareForShutdown to hide)",
        f"{p:.3f} s", f"{b:.3f} s", f"{p / b:.1f}" if b else "-", "< 0.2 s", p < 0.2)
    p, b = med([c[0] for c in idle]), med([c[1] for c in idle])
    timers = sorted({t for c in idle for t in c[2]})
    row(f"idle CPU over {args.idle_seconds:g} s with the icon up", f"{p:.4f} s", f"{b:.4f} s",
        f"{p / b:.1f}" if b else "-", "< 0.05 s", p < 0.05)
    row("host timers running while idle", ", ".join(timers) or "none", "-", "-", "none",
        not timers)
    row("storm (100 moves/s, 5 s): most tooltip rebuilds in one second",
        str(storm["max_rebuilds"]), "-", "-", "<= 1", storm["max_rebuilds"] <= 1)
    row("storm: most probes of one drive in one second", str(storm["max_probes"]), "-", "-",
        "<= 1", storm["max_probes"] <= 1)
    p, b = med(storm["program"]), med(storm["baseline"])
    row("storm: CPU over the 5 s", f"{p:.3f} s", f"{b:.3f} s", f"{p / b:.1f}" if b else "-",
        "(none)", True)
    for machine, what in (("fakes", "the tests' fakes"), ("sim", "a simulated machine file")):
        p, b = med(tooltip[(machine, 24)]), med(tooltip[(machine, 1)])
        row(f"tooltip rebuild, 24 drives, on {what} (baseline: 1 drive)", f"{p:.1f} us",
            f"{b:.1f} us", f"{p / b:.1f}", "< 1000 us", p < 1000)

    probes = {}
    for counts in storm["probes"]:
        for drive, n in counts.items():
            probes.setdefault(drive, []).append(n)
    gap_text = (f"the tightest gap between two rebuilds was {min(storm['min_gap']):.3f} s"
                if storm["min_gap"] else "no storm had two rebuilds")
    probe_text = ", ".join(f"{d}: {med(n):.0f}" for d, n in sorted(probes.items()))
    text = f"""# Benchmark results

Written by `scripts/bench` on {time.strftime('%Y-%m-%d %H:%M %Z')}, in {total / 60:.1f} min.

Machine: {machine_text()}.

Medians of {args.runs} runs each; the ratio is the program's median over the baseline's.

| figure | Bayminder | baseline | ratio | goal | met |
|---|---|---|---|---|---|
""" + "\n".join(rows) + f"""

How each figure is taken (all on Xvfb with trayer and the example machine
`tests/e2e/machines/demo.json`, desktops as in `tests/e2e/harness.py`):

- Start-up and memory: starts on one desktop, the program and `bench/baseline_tray` in turn
  (a warm-up pair first, not counted; it also writes the program's settings, so every counted
  start is an ordinary one with settings). Start-up is from just before exec to the moment
  `bench_icon_watch` sees a window of the process viewable inside trayer's panel (it rescans on
  every structure event there). VmHWM from /proc 3 s after that. Traces are off for these runs.
- Countdown and idle: the program and the baseline run side by side on one desktop and are
  measured over the same seconds, after the program's start-up (splash gone). CPU time is the
  sum of the scheduler's counters of every thread. The countdown runs from PrepareForShutdown(true)
  on the logind mock to `bayminder.forms: hide frmMonitor`. The countdowns run
  {min(args.parallel, 3)} desktops at a time and idle {args.parallel}, so that {args.runs} runs of
  {args.idle_seconds:g} s take a few minutes; the processes mostly sleep, and CPU time (unlike
  wall time) is little changed by a neighbour. Timers running while idle come from the
  `bayminder.timer` trace (each host timer's start and stop) at the start of the idle window
  and during it.
- Storm: both running on one desktop; {args.runs} storms of 500 `xdotool mousemove`s 10 ms apart
  (measured {med(storm['rate']):.0f} moves/s) on each icon in turn, 2.5 s of rest before each;
  counted over the storm and the 1.5 s after it, while the pointer rests on the icon.
  Rebuilds are the `bayminder.tray: NIM_MODIFY` lines, probes the `bayminder.mci: open X:` lines
  (the CD drives D and E are the drives in the tooltip on this machine); {gap_text}. Median
  rebuilds per storm {med(storm['rebuilds']):.0f}, probes per storm by drive {probe_text or 'none'}.
- Tooltip rebuild: `tooltip_bench`, the tray window with the drive model in-process on the
  tests' virtual clock, every drive holding a labelled medium and chosen for the tooltip
  (a floppy, then CD and removable drives from D:); {args.runs} processes per case, each the
  median of 300 rebuilds, the clock a second on before each. The baseline is the same with
  one drive.
"""
    with open(args.results, "w") as f:
        f.write(text)
    print()
    print(text)


if __name__ == "__main__":
    sys.exit(main())
