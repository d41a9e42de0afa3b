#!/usr/bin/env python3
"""Download throughput and memory: DownloadUrlToFile against `curl -o`.

Serves a 1 GiB file from the loopback test server and downloads it with the
download_bench program and with curl, each several times, and prints the
throughput ratio (goal: ours >= 0.8 x curl) and the peak resident memory of
both (goal: ours < 32 MiB).

  bench/download_bench.py [--program build/bench/bench/download_bench]
                          [--size-mib 1024] [--runs 3]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "server"))
from http_fixture import start_server  # noqa: E402


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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program",
                        default=os.path.join(HERE, "..", "build", "bench", "bench", "download_bench"))
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    size = args.size_mib * 1024 * 1024

    work = tempfile.mkdtemp(prefix="rr_download_bench_")
    try:
        root = os.path.join(work, "root")
        os.makedirs(root)
        with open(os.path.join(root, "big.bin"), "wb") as f:
            block = os.urandom(1 << 20)
            for _ in range(args.size_mib):
                f.write(block)
        server, port = start_server(root)
        url = "http://127.0.0.1:%d/big.bin" % port
        out = os.path.join(work, "out")
        os.makedirs(out)

        ours, theirs = [], []
        for run in range(args.runs):
            target = os.path.join(out, "curl.bin")
            seconds, rss, code, _ = timed_run(["curl", "-s", "-o", target, url], work)
            if code != 0 or os.path.getsize(target) != size:
                print("curl failed: exit %d" % code)
                return 1
            theirs.append((seconds, rss))
            os.remove(target)

            target = os.path.join(out, "ours.bin")
            seconds, rss, code, text = timed_run([args.program, url, target, str(size)], work)
            if code != 0 or os.path.getsize(target) != size:
                print("download_bench failed: exit %d %s" % (code, text.strip()))
                return 1
            ours.append((seconds, rss))
            print("run %d: curl %.2f s %d KiB | ours %.2f s %d KiB (%s)"
                  % (run + 1, theirs[-1][0], theirs[-1][1], seconds, rss, text.strip()))
            os.remove(target)
        server.stop()

        best_ours = min(s for s, _ in ours)
        best_curl = min(s for s, _ in theirs)
        mib = size / 1048576.0
        peak = max(r for _, r in ours)
        print("curl:  best %.2f s = %.0f MiB/s, peak RSS %.1f MiB"
              % (best_curl, mib / best_curl, max(r for _, r in theirs) / 1024.0))
        print("ours:  best %.2f s = %.0f MiB/s, peak RSS %.1f MiB"
              % (best_ours, mib / best_ours, peak / 1024.0))
        ratio = best_curl / best_ours
        print("throughput ratio ours/curl = %.2f (goal >= 0.80) %s"
              % (ratio, "OK" if ratio >= 0.8 else "BELOW GOAL"))
        print("peak memory %.1f MiB (goal < 32 MiB) %s"
              % (peak / 1024.0, "OK" if peak < 32 * 1024 else "ABOVE GOAL"))
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
