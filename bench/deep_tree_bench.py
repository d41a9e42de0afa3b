#!/usr/bin/env python3
"""Deep folder chains: time of the compare, the apply and the cleanup.

For each depth (default 0, 1000 and 5000 levels) a client gets a chain
Data/deep/d/.../d with one extra file at its bottom and a chain of the same
depth with a file at every level in _full_extract. The product then runs
`full-client` (compare), `full-client-apply --quarantine-extras` (which
quarantines the deep file, removes the whole empty chain and cleans its work
folders) and `cleanup-repair-artifacts` on a fresh chain. Every run must exit
as it should and leave what it should; the time of each depth, less the time
of depth 0 (start-up, waits), is printed. Goal: linear in the depth, so the
work at 5000 levels costs at most 8 x the work at 1000 (quadratic: 25 x).

  bench/deep_tree_bench.py [--product build/native/riveroravav]
                           [--fake-game build/native/tests/fake_game/fake_game]
                           [--levels 0,1000,5000]
"""
import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import harness  # noqa: E402
from release import Release, sha256  # noqa: E402
from test_deep import make_chain  # noqa: E402
from test_full_client import GAME_CFG, make_zip, read  # noqa: E402


def run(client, mode, extra=()):
    started = time.monotonic()
    result = harness.run_updater(harness.updater_args(client, mode=mode, extra=list(extra)),
                                 timeout=1800)
    return result.code, time.monotonic() - started


def one_depth(release, levels):
    client = harness.ClientFolder(game_config=("exit-after-ms=100",))
    try:
        client.enable_diagnostics()

        def leaf(fd):
            with open(os.open("x.bmd", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd), "wb") as f:
                f.write(b"deep extra")

        if levels:
            make_chain(client.file("Data/deep"), levels, leaf=leaf)
        data = make_zip({"Main.exe": read(client, "Main.exe"), "fake_game.cfg": GAME_CFG,
                         "Data/A.bmd": b"a"})
        release.put("deep%d/pkg.zip" % levels, data)
        package = ["--package-url", release.url("/deep%d/pkg.zip" % levels),
                   "--package-sha256", sha256(data), "--package-size", str(len(data))]
        times = {}
        code, times["compare"] = run(client, "full-client", package)
        assert code == 0, ("compare", code)
        code, times["apply"] = run(client, "full-client-apply", package + ["--quarantine-extras"])
        assert code == 0, ("apply", code)
        assert not client.exists("Data/deep"), "the empty chain was not removed"
        if levels:
            make_chain(client.file("_full_extract/open"), levels, file_per_level="f")
        code, times["cleanup"] = run(client, "cleanup-repair-artifacts")
        assert code == 0, ("cleanup", code)
        assert not client.exists("_full_extract"), "the chain was not deleted"
        return times
    finally:
        subprocess.run(["rm", "-rf", client.path], check=False)
        client.cleanup()


def main():
    root = os.path.join(HERE, "..")
    parser = argparse.ArgumentParser()
    parser.add_argument("--product", default=os.path.join(root, "build/native/riveroravav"))
    parser.add_argument("--fake-game",
                        default=os.path.join(root, "build/native/tests/fake_game/fake_game"))
    parser.add_argument("--levels", default="0,1000,5000")
    options = parser.parse_args()
    harness.configure(os.path.abspath(options.product), os.path.abspath(options.fake_game))
    depths = [int(x) for x in options.levels.split(",")]
    release = Release()
    try:
        results = {levels: one_depth(release, levels) for levels in depths}
    finally:
        release.close()
    base = results.get(0, {"compare": 0.0, "apply": 0.0, "cleanup": 0.0})
    print("%8s %12s %12s %12s   (seconds of work beyond depth 0)" %
          ("levels", "compare", "apply", "cleanup"))
    work = {}
    for levels in depths:
        row = {k: max(results[levels][k] - base[k], 0.0) for k in base}
        work[levels] = row
        print("%8d %12.2f %12.2f %12.2f" % (levels, row["compare"], row["apply"], row["cleanup"]))
    if 1000 in work and 5000 in work:
        worst = max(work[5000][k] / max(work[1000][k], 0.05) for k in base)
        print("5000 / 1000 levels: %.1f x (goal <= 8 x)" % worst)
        return 0 if worst <= 8 else 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
