"""The file system says no: the disk fills up at any change of a run, or
another program holds a file open for a moment. Whatever fails, every client
file stays whole (as it was or as the release has it), nothing beside the
client changes, the log says what failed, and a clean rerun finishes."""
import os

import harness
from e2e_common import E2eCase, expected_client_dir, same_path
from release import Release, sha256, snapshot
from test_full_client import GAME_CFG, make_zip, package_args
from test_hostile import listing

IN_USE = "File is in use, retrying: "
RECORDS = ("started.txt", "close_requests.txt", "exited.txt")
WORK = ("_update_tmp", "_backup_update", "_full_tmp", "_full_extract", "_quarantine_update")
# Every run lingers a second or more with its window up, so the points of a
# sweep run side by side. RR_FAULT_STEP=1 tries every change where CI takes
# every STEP-th.
STEP = int(os.environ.get("RR_FAULT_STEP", "3" if harness.under_wine() else "2"))
WORKERS = 4 if harness.under_wine() else 8
# Under Wine, where a run costs several times as much, the sharing violations
# alone: a full disk takes the same core paths on both builds.
FAULTS = ("32",) if harness.under_wine() else ("112:repeat", "32")


def client_files(client):
    """Relative path (forward slashes) -> digest of every client file outside
    the logs, the work folders and the fake game's records."""
    out = {}
    for rel, value in snapshot(client, skip=("Logs",) + WORK).items():
        if not rel.endswith(os.sep) and rel not in RECORDS:
            out[rel.replace(os.sep, "/")] = value[1] if value[0] != "link" else value
    return out


def quarantined(client, rel, digest):
    return any(p.replace(os.sep, "/").startswith("_quarantine_update/" + rel) and v[1] == digest
               for p, v in snapshot(client, skip=("Logs",)).items())


class FaultSweepTest(E2eCase):
    """For every change on disk of one run in turn, a disk that is full from
    that change on, and a sharing violation of that change alone."""

    def setUp(self):
        super().setUp()
        self.release = Release()
        self.addCleanup(self.release.close)
        with open(harness.fake_game(), "rb") as f:
            self.main = f.read() + b"\0v2\0"

    def fresh_client(self, files):
        client = self.client()
        client.enable_diagnostics()
        client.write_outside("Outside/Data/Item/Sword.bmd", b"outside sword")
        client.write("config.ini", b"[mine]")
        for rel, data in files.items():
            client.write(rel, data)
        return client

    def point(self, case, kind, n):
        """One run with the n-th change failing; False when the fault never
        met a change (n lies past the run's last one)."""
        client = self.fresh_client(case["old"])
        try:
            before = client_files(client)
            outside = listing(client.outside("Outside"))
            first = harness.run_updater(case["args"](client),
                                        env={"RIVERORAVAV_FAIL_AFTER": "%d:%s" % (n, kind)})
            lines = client.log_lines()
            held = [l for l in lines if l.startswith(IN_USE)]
            if not (held if kind == "32" else first.code != 0):
                return False
            where = (kind, n, first)
            # A one-off sharing violation is waited out; a full disk fails the run.
            self.assertEqual(first.code, 0 if kind == "32" else 5, where)
            now = client_files(client)
            for rel in set(before) | set(case["target"]) | set(now):
                if rel not in case["extras"]:
                    self.assertIn(now.get(rel), (before.get(rel), case["target"].get(rel)),
                                  (where, rel))
            # A completed apply removes the quarantine with the other work
            # folders; until then every extra is in place or quarantined.
            for rel in case["extras"] if first.code != 0 else ():
                self.assertTrue(now.get(rel) == before[rel] or
                                quarantined(client, rel, before[rel]), (where, rel))
            self.assertEqual(listing(client.outside("Outside")), outside, where)
            for l in held:
                self.assertTrue(l.startswith(IN_USE + expected_client_dir(client) + "\\"), l)
                self.assertFalse(l.endswith(".~rrnew"), (where, l))
            if first.code != 0:
                case["failed"](client, before, lines, where)
                second = harness.run_updater(case["args"](client))
                self.assertEqual(second.code, 0, (where, second))
            now = client_files(client)
            self.assertEqual({p: now.get(p) for p in case["target"]}, case["target"], where)
            self.assertEqual(now.get("config.ini"), sha256(b"[mine]"), where)
            self.assertEqual(
                [p for p in snapshot(client, skip=("Logs",)) if p.endswith(".~rrnew")], [], where)
            self.assertEqual(listing(client.outside("Outside")), outside, where)
            return True
        finally:
            client.cleanup()

    def sweep(self, case):
        """Both sweeps, each until the fault meets no change any more;
        returns {fault: points tried} (every point tried has converged)."""
        counts = {}
        for kind in FAULTS:
            tried = 0
            n = 1
            while True:
                batch = list(range(n, n + WORKERS * STEP, STEP))
                results = harness.run_parallel(
                    {m: (lambda m=m: self.point(case, kind, m)) for m in batch}, workers=WORKERS)
                for m in batch:
                    if isinstance(results[m], BaseException):
                        raise results[m]
                tried += sum(1 for m in batch if results[m])
                if not all(results[m] for m in batch):
                    break
                n += WORKERS * STEP
            self.assertGreaterEqual(tried, 20 // STEP, (kind, tried))
            counts[kind] = tried
        return counts

    def test_update_at_every_change_keeps_each_file_old_or_new(self):
        r = self.release
        new = {"Data/Item/Sword.bmd": b"new sword" * 150000, "Data/Item/Added.bmd": b"added",
               "Main.exe": self.main}
        url = r.manifest("manifest.json", [r.entry(rel, data) for rel, data in new.items()])
        mine = b"not in the manifest"

        def failed(client, before, lines, where):
            self.assertIn("V2-C4.3 update did not complete. Relaunching Main.exe without applying "
                          "further changes.", lines, where)
            self.assertTrue(any("error=112" in l or l.startswith("Failed to create")
                                for l in lines), (where, lines))

        case = {
            "old": {"Data/Item/Sword.bmd": b"old sword" * 1000, "Data/Mine.bmd": mine},
            "args": lambda client: harness.updater_args(client, extra=["--manifest-url", url]),
            "target": dict({rel: sha256(data) for rel, data in new.items()},
                           **{"Data/Mine.bmd": sha256(mine)}),
            "extras": {},
            "failed": failed,
        }
        print("update: points tried and converged %r" % self.sweep(case))

    def test_full_client_apply_at_every_change_rolls_back_or_finishes(self):
        new = {"Main.exe": self.main, "fake_game.cfg": GAME_CFG, "Data/A.bmd": b"new a" * 300000,
               "Data/B.bmd": b"new b", "Data/Item/C.bmd": b"new c"}
        package = make_zip(new)
        self.release.put("faults/pkg.zip", package)
        extra = package_args(self.release.url("/faults/pkg.zip"), package) + ["--quarantine-extras"]

        def failed(client, before, lines, where):
            apply_lines = client.log_lines("FullClientApply.log")
            self.assertTrue(any("error=112" in l or "FAILED" in l for l in apply_lines + lines),
                            (where, apply_lines))
            # Restored by a rename where a copy finds no space.
            self.assertLogLacksPrefix(apply_lines, "ROLLBACK failed")
            if any(l.startswith("ROLLBACK ") for l in apply_lines):
                now = client_files(client)
                for rel in new:
                    self.assertEqual(now.get(rel), before.get(rel), (where, rel, "rolled back"))

        case = {
            "old": {"Data/A.bmd": b"old a" * 1000, "Data/Item/C.bmd": b"old c",
                    "Data/Extra.bmd": b"an extra"},
            "args": lambda client: harness.updater_args(client, mode="full-client-apply",
                                                        extra=extra),
            "target": {rel: sha256(data) for rel, data in new.items()},
            "extras": ("Data/Extra.bmd",),
            "failed": failed,
        }
        print("full-client-apply: points tried and converged %r" % self.sweep(case))


class HeldFileTest(E2eCase):
    """A real program holds a client file open while the run replaces it."""

    def setUp(self):
        super().setUp()
        if not harness.under_wine():
            self.skipTest("only Windows refuses to replace a file that another program holds "
                          "open; this runs with the .exe under Wine")
        self.release = Release()
        self.addCleanup(self.release.close)

    def held_run(self, seconds, held, old, args):
        client = self.client()
        client.enable_diagnostics()
        for rel, data in old.items():
            client.write(rel, data)
        before = client_files(client)
        self.addCleanup(harness.hold_file(client, client.file(held), seconds))
        return client, before, harness.run_updater(args(client))

    def test_a_file_held_for_seconds_is_waited_for_and_one_held_too_long_fails_whole(self):
        r = self.release
        old = {"Data/Item/A.bmd": b"old a", "Data/Item/B.bmd": b"old b"}
        url = r.manifest("m.json", [r.entry("Data/Item/A.bmd", b"new a"),
                                    r.entry("Data/Item/B.bmd", b"new b")])
        with open(harness.fake_game(), "rb") as f:
            package = {"Main.exe": f.read() + b"\0v2\0", "fake_game.cfg": GAME_CFG,
                       "Data/Item/A.bmd": b"new a", "Data/Item/B.bmd": b"new b"}
        data = make_zip(package)
        r.put("held/pkg.zip", data)
        extra = package_args(r.url("/held/pkg.zip"), data)

        def update(client):
            return harness.updater_args(client, extra=["--manifest-url", url])

        def apply(client):
            return harness.updater_args(client, mode="full-client-apply", extra=extra)

        # Within the ten seconds, past them, and past them in a repair that
        # has copied every other file already (Main.exe goes last).
        results = harness.run_parallel({
            "brief": lambda: self.held_run(5, "Data/Item/B.bmd", old, update),
            "long": lambda: self.held_run(18, "Data/Item/B.bmd", old, update),
            "apply": lambda: self.held_run(18, "Main.exe", old, apply),
        })
        for name in ("brief", "long", "apply"):
            if isinstance(results[name], BaseException):
                raise results[name]

        client, before, result = results["brief"]
        self.assertEqual(result.code, 0, result)
        self.assertEqual(client_files(client)["Data/Item/B.bmd"], sha256(b"new b"))
        b_path = expected_client_dir(client) + "\\Data\\Item\\B.bmd"
        self.assertLogHas(client.log_lines(), IN_USE + b_path)

        client, before, result = results["long"]
        self.assertEqual(result.code, 5, result)
        now = client_files(client)
        self.assertEqual((now["Data/Item/A.bmd"], now["Data/Item/B.bmd"]),
                         (sha256(b"new a"), sha256(b"old b")))
        b_path = expected_client_dir(client) + "\\Data\\Item\\B.bmd"
        self.assertLogHas(client.log_lines(), IN_USE + b_path)
        self.assertLogHas(client.log_lines(), "Failed to replace file. error=5 path=" + b_path)

        client, before, result = results["apply"]
        self.assertEqual(result.code, 5, result)
        self.assertEqual(client_files(client), before, "every copy rolled back")
        held = [l for l in client.log_lines() if l.startswith(IN_USE)]
        self.assertTrue(held and same_path(held[0][len(IN_USE):], harness.product_path(client.main_exe)), held)
        lines = client.log_lines("FullClientApply.log")
        self.assertLogHas(lines, "APPLY FAILED copy: Main.exe error=5")
        self.assertLogHas(lines, "ROLLBACK restored backup: Data\\Item\\B.bmd")
