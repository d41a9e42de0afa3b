#!/usr/bin/env python3
"""Builds the demo: a release folder (the client as it should be, which
riveroravav-publish turns into a published release) and a client folder that
is partly out of date, and reports what a run changed.

  demo_release.py make   --out DIR --fake-game PATH
  demo_release.py snapshot --client DIR --to FILE
  demo_release.py diff   --client DIR --before FILE
"""

import argparse
import hashlib
import json
import os
import shutil
import sys

# Relative path -> (bytes in the release, bytes in the demo client or None when
# the client lacks the file). Paths use the client's Windows form.
def demo_files(fake_game_bytes):
    new_main = fake_game_bytes + b"\0RiveRoravav demo build 2\0"
    return {
        "Main.exe": (new_main, fake_game_bytes),
        "Data\\Local\\Eng\\Text.bmd": (b"text table, release 2\n" * 40, b"text table, release 1\n" * 40),
        "Data\\Local\\LauncherLinks.ini": (b"[links]\nsite=http://127.0.0.1/\n", b"[links]\nsite=http://127.0.0.1/\n"),
        "Data\\Item\\Sword.bmd": (bytes(range(256)) * 64, bytes(range(256)) * 64),
        "Data\\Item\\Texture\\Sword.jpg": (b"\xff\xd8 demo texture v2" * 512, b"\xff\xd8 demo texture v1" * 512),
        "Data\\Scripts\\ai\\boss.lua": (b"-- boss ai, release 2\nreturn {}\n", None),
        "Data\\World1\\Terrain1.map": (b"MAP2" * 300000, b"MAP1" * 300000),
        "Data\\Skill\\Fire.ozj": (b"fire skill sprite" * 1000, None),
    }


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def native(rel):
    return rel.replace("\\", os.sep)


def make(args):
    out = os.path.abspath(args.out)
    if os.path.exists(out):
        shutil.rmtree(out)
    release = os.path.join(out, "Release Folder")
    client = os.path.join(out, "Demo Client")
    with open(args.fake_game, "rb") as f:
        fake_game = f.read()
    files = demo_files(fake_game)
    for rel, (new, old) in files.items():
        path = os.path.join(release, native(rel))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(new)
        if old is not None:
            cpath = os.path.join(client, native(rel))
            os.makedirs(os.path.dirname(cpath), exist_ok=True)
            with open(cpath, "wb") as f:
                f.write(old)
    os.chmod(os.path.join(release, "Main.exe"), 0o755)
    os.chmod(os.path.join(client, "Main.exe"), 0o755)
    # The release's default settings: in the package, never pushed by an update.
    with open(os.path.join(release, "config.ini"), "w") as f:
        f.write("[video]\nwidth=800\n")
    # Files the updater must leave alone.
    with open(os.path.join(client, "config.ini"), "w") as f:
        f.write("[video]\nwidth=1280\n")
    os.makedirs(os.path.join(client, "ScreenShots"), exist_ok=True)
    with open(os.path.join(client, "ScreenShots", "shot1.jpg"), "wb") as f:
        f.write(b"\xff\xd8 a screenshot")
    # Keep the logs after a completed run so the demo can show them; the
    # relaunched game only says hello and exits.
    os.makedirs(os.path.join(client, "Data", "Local"), exist_ok=True)
    open(os.path.join(client, "Data", "Local", "EnableDiagnostics.txt"), "w").close()
    with open(os.path.join(client, "fake_game.cfg"), "w") as f:
        f.write("no-window\nexit-after-ms=200\n")
    print(client)


def listing(client):
    result = {}
    for base, dirs, names in os.walk(client):
        dirs.sort()
        for name in sorted(names):
            path = os.path.join(base, name)
            rel = os.path.relpath(path, client)
            if rel.startswith("Logs" + os.sep) or rel in ("started.txt", "exited.txt",
                                                          "close_requests.txt"):
                continue
            with open(path, "rb") as f:
                result[rel] = sha256(f.read())
    return result


def snapshot(args):
    with open(args.to, "w") as f:
        json.dump(listing(args.client), f)


def diff(args):
    with open(args.before) as f:
        before = json.load(f)
    after = listing(args.client)
    changed = sorted(p for p in after if p in before and before[p] != after[p])
    added = sorted(p for p in after if p not in before)
    removed = sorted(p for p in before if p not in after)
    for label, items in (("updated", changed), ("added", added), ("removed", removed)):
        for p in items:
            print(f"  {label:8} {p}")
    if not (changed or added or removed):
        print("  nothing changed")


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("make")
    p.add_argument("--out", required=True)
    p.add_argument("--fake-game", required=True)
    p = sub.add_parser("snapshot")
    p.add_argument("--client", required=True)
    p.add_argument("--to", required=True)
    p = sub.add_parser("diff")
    p.add_argument("--client", required=True)
    p.add_argument("--before", required=True)
    args = parser.parse_args()
    {"make": make, "snapshot": snapshot, "diff": diff}[args.command](args)


if __name__ == "__main__":
    sys.exit(main())
