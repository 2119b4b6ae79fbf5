#!/usr/bin/env python3
"""Time from process start to the first finished load of the start page, and
resident memory (the program and its browser-engine processes) right after,
for torvaneapp and for a bare QWebEngineView loading the same page. Medians
of several alternating runs. Expects a display and the stand-in running."""
import os, statistics, subprocess, sys, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
URL = 'https://localhost:8443/api/app/novo/app/index.php?modeOn=true'


def tree_rss_kib(pid):
    pids, frontier = [pid], [pid]
    while frontier:
        out = subprocess.run(['pgrep', '-P', str(frontier.pop())], capture_output=True, text=True).stdout.split()
        frontier += [int(p) for p in out]
        pids += [int(p) for p in out]
    total = 0
    for p in pids:
        try:
            with open('/proc/%d/status' % p) as f:
                total += int([l for l in f if l.startswith('VmRSS:')][0].split()[1])
        except (OSError, IndexError):
            pass
    return total


def measure(command):
    start = time.monotonic()
    proc = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    elapsed = None
    for line in proc.stderr:
        if 'Progresso... FINISH' in line:
            elapsed = time.monotonic() - start
            break
    time.sleep(0.5)
    rss = tree_rss_kib(proc.pid)
    proc.kill()
    proc.wait()
    subprocess.run(['pkill', '-f', 'QtWebEngineProcess'], capture_output=True)
    return elapsed, rss


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, 'build')
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    programs = {
        'torvaneapp': [os.path.join(build, 'bin', 'torvaneapp')],
        'bare QWebEngineView': [os.path.join(build, 'bin', 'torvane-bareview'), URL],
    }
    results = {name: [] for name in programs}
    for _ in range(runs):
        for name, command in programs.items():
            results[name].append(measure(command))
    print('| program | start to first load (median, s) | RSS after it (median, MiB) |')
    print('|---|---:|---:|')
    medians = {}
    for name, samples in results.items():
        t = statistics.median(s[0] for s in samples if s[0] is not None)
        m = statistics.median(s[1] for s in samples) / 1024
        medians[name] = (t, m)
        print('| %s | %.3f | %.1f |' % (name, t, m))
    app, bare = medians['torvaneapp'], medians['bare QWebEngineView']
    print('\nratio: time %.2f, memory %.2f' % (app[0] / bare[0], app[1] / bare[1]))


if __name__ == '__main__':
    main()
