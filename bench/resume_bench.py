#!/usr/bin/env python3
"""A 1 GiB full client package whose connection the test server cuts every
128 MiB (tests/server/http_fixture.py, `send`): the full-client run (compare
only) must complete in one run, resuming after each cut, and the server must
send at most 1.02 x the package. Its time is set against the same run over
an uncut connection; both include the validation, extraction and compare.

  bench/resume_bench.py [--product build/native/riveroravav]
                        [--fake-game build/native/tests/fake_game/fake_game]
                        [--size-mib 1024] [--cut-mib 128]
"""
import argparse
import hashlib
import os
import shutil
import sys
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import harness  # noqa: E402
from release import Release  # noqa: E402
from test_full_client import GAME_CFG, read  # noqa: E402

MIB = 1 << 20


def write_package(path, main_exe, size):
    """A stored ZIP of about `size` bytes: Main.exe, the game's settings and
    one big file of random bytes. Returns its size and SHA-256."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED, allowZip64=True) as z:
        z.writestr("Main.exe", main_exe)
        z.writestr("fake_game.cfg", GAME_CFG)
        big = size - len(main_exe) - len(GAME_CFG) - 400
        with z.open(zipfile.ZipInfo("Data/Big.bin"), "w", force_zip64=True) as out:
            left = big
            while left > 0:
                chunk = os.urandom(min(left, 16 * MIB))
                out.write(chunk)
                left -= len(chunk)
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(16 * MIB), b""):
            digest.update(block)
    return os.path.getsize(path), digest.hexdigest()


def one_run(release, url_path, size, sha, route):
    release.server.set_route(url_path, route)
    mark = len(release.server.requests)
    client = harness.ClientFolder(game_config=("exit-after-ms=100",))
    try:
        client.enable_diagnostics()
        args = ["--package-url", release.url(url_path), "--package-sha256", sha,
                "--package-size", str(size)]
        started = time.monotonic()
        result = harness.run_updater(harness.updater_args(client, mode="full-client", extra=args),
                                     timeout=1800)
        seconds = time.monotonic() - started
        requests = [q for q in release.server.requests[mark:] if q["path"] == url_path]
        lines = client.log_lines()
        assert result.code == 0, (result, lines[-20:])
        assert "File SHA256 validation OK: " + sha in lines, lines[-20:]
        return {"seconds": seconds, "sent": sum(q["sent"] for q in requests),
                "requests": len(requests),
                "retries": sum(1 for l in lines if l.startswith("Retrying "))}
    finally:
        shutil.rmtree(client.root, ignore_errors=True)
        client.cleanup()


def main():
    root = os.path.join(HERE, "..")
    parser = argparse.ArgumentParser()
    parser.add_argument("--product", default=os.path.join(root, "build/native/riveroravav"))
    parser.add_argument("--fake-game",
                        default=os.path.join(root, "build/native/tests/fake_game/fake_game"))
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--cut-mib", type=int, default=128)
    options = parser.parse_args()
    harness.configure(options.product, options.fake_game)
    release = Release()
    try:
        donor = harness.ClientFolder(game_config=None)
        main_exe = read(donor, "Main.exe")
        donor.cleanup()
        url_path = "/resume/pkg.zip"
        size, sha = write_package(release.root + url_path, main_exe, options.size_mib * MIB)
        cut = options.cut_mib * MIB
        uncut = one_run(release, url_path, size, sha, {"file": url_path})
        cutrun = one_run(release, url_path, size, sha, {"file": url_path, "send": cut})
    finally:
        release.close()
    print("package %d bytes (%.0f MiB), cut every %d MiB" % (size, size / MIB, options.cut_mib))
    for name, r in (("uncut", uncut), ("cut", cutrun)):
        print("%-5s %6.2f s  server sent %d bytes = %.4f x the package  %d requests, %d retries"
              % (name, r["seconds"], r["sent"], r["sent"] / size, r["requests"], r["retries"]))
    ratio = cutrun["sent"] / size
    print("bytes ratio %.4f (goal <= 1.02), time ratio %.2f" % (ratio,
                                                                cutrun["seconds"] / uncut["seconds"]))
    return 0 if ratio <= 1.02 else 1


if __name__ == "__main__":
    sys.exit(main())
