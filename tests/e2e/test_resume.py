"""An interrupted full client package download goes on where it stopped: cut
by the test server (tests/server/http_fixture.py), resumed by the next run or
by the retry within the same run, and never pieced together from two files.

The scenarios run at once in setUpClass; the tests read their outcomes.
"""
import os

import harness
from e2e_common import E2eCase
from release import Release, sha256
from test_full_client import GAME_CFG, make_zip, package_args, read, run

MISSING_INVALID = ("Existing full client package is missing/invalid; downloading again "
                   "inside _full_tmp only.")
RESTARTED = "Server did not resume; downloading from the start."
SIDECAR = "_full_tmp/pkg.zip.resume"


def header(request, name):
    for key, value in request["headers"].items():
        if key.lower() == name.lower():
            return value
    return None


class Scenarios:
    def __init__(self, release):
        self.r = release
        self.clients = []

    def client(self):
        client = harness.ClientFolder()
        self.clients.append(client)
        client.enable_diagnostics()
        return client

    def publish(self, tag, client, seed=b"a"):
        noise = (sha256(seed + tag.encode()).encode() * 6000)[:300000]
        data = make_zip({"Main.exe": read(client, "Main.exe"), "fake_game.cfg": GAME_CFG,
                         "Data/Big.bmd": os.urandom(200000) + noise})
        self.r.put(tag + "/pkg.zip", data)
        return "/%s/pkg.zip" % tag, data

    def requests(self, path, start):
        return [q for q in self.r.server.requests[start:] if q["path"] == path]

    def cut_then_rerun(self, tag, cut, rerun_route=None, change=None):
        """A first run whose package is cut after `cut` bytes (its retry then
        meets a 404), and a second run with the route `rerun_route` (None:
        the file as it is) after `change` was done to the published file."""
        client = self.client()
        path, data = self.publish(tag, client)
        if callable(cut):
            cut = cut(len(data))
        self.r.server.set_route(path, {"file": path, "send": cut, "times": 1,
                                       "then": {"status": 404}})
        args = package_args(self.r.url(path), data)
        first = run(client, "full-client", args)
        partial = read(client, "_full_tmp/pkg.zip") if client.exists("_full_tmp/pkg.zip") else None
        if change is not None:
            change(self.r.root + path)
        self.r.server.set_route(path, dict(rerun_route or {}, file=path))
        mark = len(self.r.server.requests)
        second = run(client, "full-client", args)
        rerun = self.requests(path, mark)
        return {"client": client, "data": data, "cut": cut, "first": first, "partial": partial,
                "second": second, "rerun": rerun, "sent": sum(q["sent"] for q in rerun),
                "url": self.r.url(path)}

    def cut_in_run(self):
        client = self.client()
        path, data = self.publish("inrun", client)
        cut = len(data) // 3
        self.r.server.set_route(path, {"file": path, "send": cut, "times": 1})
        result = run(client, "full-client", package_args(self.r.url(path), data))
        return {"client": client, "data": data, "cut": cut, "result": result,
                "requests": self.requests(path, 0), "url": self.r.url(path)}

    def hostile_sidecar(self):
        client = self.client()
        path, data = self.publish("hostile", client)
        client.write("_full_tmp/pkg.zip", data[:1000])
        client.write(SIDECAR, b"sha256=%s\nvalidator=\"x\"\r\nX-Evil: 1\n" % sha256(data).encode())
        result = run(client, "full-client", package_args(self.r.url(path), data))
        return {"client": client, "data": data, "result": result,
                "requests": self.requests(path, 0)}


def touch_later(full):
    """The same bytes published again: a new time, so a new ETag."""
    stat = os.stat(full)
    os.utime(full, (stat.st_atime, stat.st_mtime + 100))


class ResumeTest(E2eCase):

    @classmethod
    def setUpClass(cls):
        cls.release = Release()
        s = cls.scenarios = Scenarios(cls.release)
        cuts = {"one-byte": 1, "middle": lambda n: n // 2, "last-byte-missing": lambda n: n - 1}
        jobs = {name: (lambda name=name, cut=cut: s.cut_then_rerun(name, cut))
                for name, cut in cuts.items()}
        jobs["ignores-range"] = lambda: s.cut_then_rerun("ignores", 5000, {"ignore_range": True})
        jobs["changed"] = lambda: s.cut_then_rerun("changed", 5000, change=touch_later)
        jobs["wrong-range"] = lambda: s.cut_then_rerun("wrong", 5000, {"wrong_range": True})
        jobs["in-run"] = s.cut_in_run
        jobs["hostile"] = s.hostile_sidecar
        cls.cut_names = list(cuts)
        cls.outcomes = harness.run_parallel(jobs, workers=len(jobs))

    @classmethod
    def tearDownClass(cls):
        for client in cls.scenarios.clients:
            client.cleanup()
        cls.release.close()

    def assertInterrupted(self, o):
        """The first run failed after the cut and left the cut bytes behind."""
        self.assertEqual(o["first"].code, 5, o["first"])
        self.assertEqual(o["partial"], o["data"][:o["cut"]])

    def assertEndsWithPackage(self, o, result):
        self.assertEqual(result.code, 0, result)
        self.assertEqual(read(o["client"], "_full_tmp/pkg.zip"), o["data"])
        self.assertFalse(o["client"].exists(SIDECAR), "a finished download keeps no validator")
        self.assertLogHas(o["client"].log_lines(), "Full client extracted successfully.")

    def test_a_cut_download_resumes_in_the_next_run(self):
        for name in self.cut_names:
            with self.subTest(name):
                o = self.outcome(name)
                self.assertInterrupted(o)
                self.assertEqual([header(q, "Range") for q in o["rerun"]],
                                 ["bytes=%d-" % o["cut"]])
                self.assertIsNotNone(header(o["rerun"][0], "If-Range"))
                self.assertEqual(o["sent"], len(o["data"]) - o["cut"], "only the rest is sent")
                self.assertEndsWithPackage(o, o["second"])
                lines = o["client"].log_lines()
                self.assertLogHas(lines, MISSING_INVALID)
                self.assertLogHas(lines, "Resuming full client download at %d of %d bytes."
                                  % (o["cut"], len(o["data"])))
                self.assertLogHas(lines, "File HTTP status=206")

    def test_a_server_that_ignores_range_is_downloaded_from_the_start(self):
        o = self.outcome("ignores-range")
        self.assertInterrupted(o)
        self.assertEqual(header(o["rerun"][0], "Range"), "bytes=5000-")
        self.assertEqual(o["sent"], len(o["data"]))
        self.assertEndsWithPackage(o, o["second"])
        self.assertLogHas(o["client"].log_lines(), RESTARTED)

    def test_a_changed_validator_restarts_from_zero(self):
        o = self.outcome("changed")
        self.assertInterrupted(o)
        rerun = o["rerun"][0]
        self.assertEqual(header(rerun, "Range"), "bytes=5000-")
        self.assertNotEqual(header(rerun, "If-Range"), None)
        self.assertEqual(o["sent"], len(o["data"]), "the whole file, never the rest of another")
        self.assertEndsWithPackage(o, o["second"])
        self.assertLogHas(o["client"].log_lines(), RESTARTED)

    def test_a_206_for_another_range_is_refused(self):
        o = self.outcome("wrong-range")
        self.assertInterrupted(o)
        self.assertEqual(o["second"].code, 5, o["second"])
        size = len(o["data"])
        lines = o["client"].log_lines()
        self.assertLogHas(lines, "Rejected file Content-Range. expected=bytes 5000-%d/%d "
                                 "actual=bytes 0-%d/%d url=%s" % (size - 1, size, size - 1, size,
                                                                  o["url"]))
        self.assertLogHas(lines, "Full client ZIP download failed. No client files were touched.")
        self.assertFalse(o["client"].exists("_full_tmp/pkg.zip"), "the next run starts from 0")
        self.assertFalse(o["client"].exists(SIDECAR))

    def test_a_cut_within_one_run_is_resumed_by_the_retry(self):
        o = self.outcome("in-run")
        self.assertEqual([header(q, "Range") for q in o["requests"]],
                         [None, "bytes=%d-" % o["cut"]])
        self.assertEndsWithPackage(o, o["result"])
        lines = o["client"].log_lines()
        self.assertEqual(len([l for l in lines if l.startswith("Retrying ")]), 1, lines)
        self.assertLogHas(lines, "Resuming full client download at %d of %d bytes."
                          % (o["cut"], len(o["data"])))

    def test_a_validator_file_with_a_control_character_is_not_used(self):
        o = self.outcome("hostile")
        self.assertEqual([header(q, "Range") for q in o["requests"]], [None])
        self.assertEndsWithPackage(o, o["result"])
