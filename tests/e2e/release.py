"""A published release for end-to-end tests: files, a manifest and a real HTTP
server on 127.0.0.1 (tests/server/http_fixture.py)."""
import hashlib
import json
import os
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "server"))

import http_fixture  # noqa: E402


def sha256(data):
    return hashlib.sha256(data).hexdigest()


class Release:
    """Files under a served root; `entry()` builds manifest entries for them."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="RrRelease_")
        self.server, self.port = http_fixture.start_server(self.root, max_lifetime=900)

    def url(self, path):
        return "http://127.0.0.1:%d/%s" % (self.port, path.lstrip("/"))

    def put(self, path, data):
        target = os.path.join(self.root, *path.split("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(data)
        return target

    def entry(self, rel, data, url=None, **overrides):
        """A manifest entry for `rel` whose bytes are `data`, served under files/."""
        if url is None:
            url = "files/" + rel.replace("\\", "/")
            self.put(url, data)
        e = {"path": rel, "url": url, "size": len(data), "sha256": sha256(data)}
        e.update(overrides)
        return e

    def manifest(self, name, files, **fields):
        doc = {"version": fields.pop("version", "7.1.0"), "files": files}
        doc.update(fields)
        self.put(name, json.dumps(doc, ensure_ascii=False).encode("utf-8"))
        return self.url(name)

    def requested(self, path):
        return any(r["path"] == path for r in self.server.requests)

    def close(self):
        self.server.stop()
        shutil.rmtree(self.root, ignore_errors=True)


def snapshot(client, skip=("Logs", "_update_tmp")):
    """Relative path -> (size, digest) of every file, and every folder, below a
    client folder; links as their targets' names. Records of the fake game and
    the named work folders are left out."""
    out = {}
    records = {"started.txt", "close_requests.txt", "exited.txt"}
    for base, dirs, names in os.walk(client.path):
        rel_base = os.path.relpath(base, client.path)
        top = rel_base.split(os.sep)[0]
        if top in skip:
            dirs[:] = []
            continue
        for d in dirs:
            full = os.path.join(base, d)
            rel = os.path.normpath(os.path.join(rel_base, d))
            if rel.split(os.sep)[0] in skip:
                continue
            out[rel + os.sep] = ("link", os.readlink(full)) if os.path.islink(full) else ("dir",)
        dirs[:] = [d for d in dirs if not os.path.islink(os.path.join(base, d))]
        for n in names:
            rel = os.path.normpath(os.path.join(rel_base, n))
            if rel in records:
                continue
            full = os.path.join(base, n)
            if os.path.islink(full):
                out[rel] = ("link", os.readlink(full))
                continue
            with open(full, "rb") as f:
                data = f.read()
            out[rel] = (len(data), sha256(data))
    return out
