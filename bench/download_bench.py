#!/usr/bin/env python3
"""Download throughput and memory: DownloadUrlToFile against `curl -o`.

Serves a 1 GiB file from Debian's nginx on loopback (the set-up of the
end-to-end tests, tests/e2e/nginx.py) and downloads it in alternating runs,
ours then curl, several pairs, and prints the ratio of the medians (goal:
ours >= 0.8 x curl) and the peak resident memory of both (goal: ours < 32 MiB).

  bench/download_bench.py [--program build/bench/bench/download_bench]
                          [--size-mib 1024] [--runs 7]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import nginx  # noqa: E402


def timed_run(command, work):
    """Runs a program; returns (wall seconds, peak RSS in KiB, exit code, stdout).

    The peak comes from GNU time when it is there: the rusage of a child
    started straight from this (large) Python process would include this
    process's own memory from before the exec.
    """
    report = os.path.join(work, "time.txt")
    wrapped = command
    if os.path.exists("/usr/bin/time"):
        wrapped = ["/usr/bin/time", "-f", "%M", "-o", report] + command
    start = time.monotonic()
    proc = subprocess.run(wrapped, stdout=subprocess.PIPE)
    seconds = time.monotonic() - start
    rss = -1
    if wrapped is not command:
        with open(report) as f:
            rss = int(f.read().split()[-1])
    return seconds, rss, proc.returncode, proc.stdout.decode()


def download(name, command, target, size, work):
    seconds, rss, code, text = timed_run(command, work)
    if code != 0 or not os.path.exists(target) or os.path.getsize(target) != size:
        raise RuntimeError("%s failed: exit %d %s" % (name, code, text.strip()))
    os.remove(target)
    return seconds, rss


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program",
                        default=os.path.join(HERE, "..", "build", "bench", "bench", "download_bench"))
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--runs", type=int, default=7, help="pairs of runs (ours, curl)")
    args = parser.parse_args()
    size = args.size_mib * 1024 * 1024

    work = tempfile.mkdtemp(prefix="rr_download_bench_")
    web = None
    try:
        root = os.path.join(work, "root")
        os.makedirs(root)
        with open(os.path.join(root, "big.bin"), "wb") as f:
            block = os.urandom(1 << 20)
            for _ in range(args.size_mib):
                f.write(block)
        try:
            web = nginx.Nginx(root)
        except nginx.Unavailable as e:
            print("nginx cannot serve here: %s" % e)
            return 1
        url = web.url("big.bin")
        ours, theirs = [], []
        for run in range(args.runs):
            target = os.path.join(work, "ours.bin")
            ours.append(download("download_bench", [args.program, url, target, str(size)],
                                 target, size, work))
            target = os.path.join(work, "curl.bin")
            theirs.append(download("curl", ["curl", "-s", "-o", target, url], target, size, work))
            print("pair %d: ours %.2f s %d KiB | curl %.2f s %d KiB"
                  % (run + 1, ours[-1][0], ours[-1][1], theirs[-1][0], theirs[-1][1]))

        mib = size / 1048576.0
        median_ours = statistics.median(s for s, _ in ours)
        median_curl = statistics.median(s for s, _ in theirs)
        peak = max(r for _, r in ours)
        print("curl:  median %.2f s = %.0f MiB/s, peak RSS %.1f MiB"
              % (median_curl, mib / median_curl, max(r for _, r in theirs) / 1024.0))
        print("ours:  median %.2f s = %.0f MiB/s, peak RSS %.1f MiB"
              % (median_ours, mib / median_ours, peak / 1024.0))
        ratio = median_curl / median_ours
        print("throughput ratio ours/curl (medians of %d pairs) = %.2f (goal >= 0.80) %s"
              % (args.runs, ratio, "OK" if ratio >= 0.8 else "BELOW GOAL"))
        print("peak memory %.1f MiB (goal < 32 MiB) %s"
              % (peak / 1024.0, "OK" if peak < 32 * 1024 else "ABOVE GOAL"))
        return 0
    except RuntimeError as e:
        print(e)
        return 1
    finally:
        if web is not None:
            web.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
