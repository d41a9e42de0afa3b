"""The full-client modes end to end: ZIP packages built here, served on
127.0.0.1, real client folders with the fake game as Main.exe.

Every scenario runs at once in setUpClass (the instance gates alone wait 10 s);
the tests only read their outcomes.
"""
import io
import os
import zipfile

import harness
from e2e_common import BOX_OTHER, SKIP_INSTANCE_CHECK, E2eCase, expected_client_dir
from release import Release, sha256, snapshot

NOT_COMPLETED = "Full client download/extract/apply did not complete. Relaunching Main.exe."
WORK = ("Logs", "_full_tmp", "_full_extract")
GAME_CFG = b"exit-after-ms=8000\n"  # the ClientFolder default, shipped in the packages too
LONG = "90000"


def make_zip(files, top=""):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        for rel, data in files.items():
            z.writestr(top + rel, data)
    return buf.getvalue()


def read(client, rel):
    with open(client.file(rel), "rb") as f:
        return f.read()


def requests_for(release, path):
    return sum(1 for r in release.server.requests if r["path"].split("?")[0] == path)


def package_args(url, data=None, sha=True, size=True):
    args = ["--package-url", url]
    if sha:
        args += ["--package-sha256", sha256(data) if sha is True else sha]
    if size:
        args += ["--package-size", str(len(data)) if size is True else size]
    return args


def run(client, mode, args, quarantine=False):
    extra = list(args) + (["--quarantine-extras"] if quarantine else [])
    return harness.run_updater(harness.updater_args(client, mode=mode, extra=extra))


class Scenarios:
    """Each method sets up its clients, runs the product and returns what the
    tests check. Clients are kept for the class's cleanup."""

    def __init__(self, release):
        self.r = release
        self.clients = []

    def client(self, **kwargs):
        client = harness.ClientFolder(**kwargs)
        self.clients.append(client)
        client.enable_diagnostics()  # the logs of completed runs stay readable
        return client

    def publish(self, path, files, top=""):
        data = make_zip(files, top)
        self.r.put(path.lstrip("/"), data)
        return self.r.url(path), data

    def names(self):
        """Without a SHA-256 the package is only downloaded and checked."""
        client = self.client()
        _, data = self.publish("/names/pkg.zip", {"Main.exe": b"x"})
        self.r.server.set_route("/names/client.zip", {"file": "names/pkg.zip"})
        self.r.server.set_route("/names/", {"file": "names/pkg.zip"})
        self.r.server.set_route("/names/a..b.zip", {"file": "names/pkg.zip"})
        self.r.server.set_route("/names/nul.zip", {"file": "names/pkg.zip"})
        self.r.server.set_route("/names/my(file)+x.zip", {"file": "names/pkg.zip"})
        cases = [("names/client.zip?x=1#part", "client.zip"),
                 ("names/client.zip", "client.zip"),
                 ("names/", "Orvella_Client.zip"),
                 ("names/a..b.zip", "Orvella_Client.zip"),
                 ("names/nul.zip", "Orvella_Client.zip"),
                 ("names/my(file)+x.zip", "my(file)_x.zip")]
        outcomes = []
        for url, name in cases:
            result = run(client, "full-client", package_args(self.r.url(url), data, sha=False))
            target = client.file("_full_tmp/" + name)
            got = open(target, "rb").read() if os.path.isfile(target) else None
            if got is not None:
                os.remove(target)
            outcomes.append((url, name, result, got))
        return client, outcomes, data

    def refusals(self):
        """Settings refused before anything is fetched, and packages deleted
        after failing their size or digest."""
        client = self.client()
        url, data = self.publish("/bad/pkg.zip", {"Main.exe": b"x"})
        early = {}
        for size in ("0", "12a", "18446744073709551616"):
            early[size] = run(client, "full-client", package_args(url, data, size=size))
        early["sha63"] = run(client, "full-client", package_args(url, data, sha="a" * 63))
        early["apply-no-sha"] = run(client, "full-client-apply", package_args(url, data, sha=False))
        tmp_after_early = client.exists("_full_tmp")
        requests_after_early = requests_for(self.r, "/bad/pkg.zip")
        late = {
            "max-size": run(client, "full-client",
                            package_args(url, data, size="18446744073709551615")),
            "wrong-sha": run(client, "full-client", package_args(url, data, sha="0" * 64)),
        }
        return client, early, late, tmp_after_early, requests_after_early, data

    def reuse(self):
        client = self.client()
        url, data = self.publish("/reuse/Reuse_Client.zip",
                                 {"Main.exe": read(client, "Main.exe"), "fake_game.cfg": GAME_CFG})
        client.write("_full_tmp/Reuse_Client.zip", b"left by a broken run")
        first = run(client, "full-client", package_args(url, data))
        second = run(client, "full-client", package_args(url, data))
        return client, first, second, requests_for(self.r, "/reuse/Reuse_Client.zip"), data

    def compare(self):
        client = self.client()
        client.write_outside("Outside/Real.bmd", b"outside")
        files = {"Main.exe": read(client, "Main.exe"), "fake_game.cfg": GAME_CFG,
                 "Data/Same.bmd": b"same", "Data/Miss.bmd": b"missing",
                 "Data/Size.bmd": b"ten bytes!", "Data/Hash.bmd": b"AAAA",
                 "config.ini": b"[package]\n"}
        client.write("Data/Same.bmd", b"same")
        client.write("Data/Size.bmd", b"old")
        client.write("Data/Hash.bmd", b"BBBB")
        client.write("Data/Extra.bmd", b"extra")
        # A link to a folder: Wine shows links to files as plain files.
        os.symlink(client.outside("Outside"), client.file("Data/Linked"))
        url, data = self.publish("/compare/pkg.zip", files, top="Client/")
        before = snapshot(client, skip=WORK)
        result = run(client, "full-client", package_args(url, data))
        return client, result, before, snapshot(client, skip=WORK)

    def apply_client(self, tag, quarantine):
        client = self.client()
        old_main = read(client, "Main.exe")
        client.write("Data/A.bmd", b"old a")
        client.write("Data/Extra.bmd", b"extra")
        client.write("Data/Stale/Old.bmd", b"stale")
        client.write("config.ini", b"[user]\n")
        client.write("ScreenShots/s.jpg", b"shot")
        files = {"Main.exe": old_main + b"\0package build\0", "fake_game.cfg": GAME_CFG,
                 "Data/A.bmd": b"new a", "Data/B/New.bmd": b"new b",
                 "config.ini": b"[package]\n", "Data/Hook.dll": b"MZ"}
        url, data = self.publish("/%s/pkg.zip" % tag, files)
        result = run(client, "full-client-apply", package_args(url, data), quarantine=quarantine)
        return client, result, files

    def apply_quarantine(self):
        return self.apply_client("applyq", quarantine=True)

    def apply_list_only(self):
        return self.apply_client("applyl", quarantine=False)

    def apply_blocked(self):
        client = self.client()
        os.makedirs(client.outside("Elsewhere"))
        os.symlink(client.outside("Elsewhere"), client.file("Data/Elsewhere"))
        client.write("Data/A.bmd", b"old a")
        files = {"Main.exe": read(client, "Main.exe") + b"\0new\0", "fake_game.cfg": GAME_CFG,
                 "Data/A.bmd": b"new a"}
        url, data = self.publish("/blocked/pkg.zip", files)
        before = snapshot(client, skip=WORK)
        result = run(client, "full-client-apply", package_args(url, data), quarantine=True)
        return client, result, before, snapshot(client, skip=WORK)

    def gate(self, tag, mode):
        client = self.client()
        stubborn = client.start_game("--ignore-close", "--exit-after-ms", LONG)
        files = {"Main.exe": read(client, "Main.exe") + b"\0new\0", "fake_game.cfg": GAME_CFG}
        url, data = self.publish("/%s/pkg.zip" % tag, files)
        before = read(client, "Main.exe")
        result = run(client, mode, package_args(url, data))
        return client, result, stubborn.running(), before, requests_for(self.r, "/%s/pkg.zip" % tag)

    def gate_apply(self):
        return self.gate("gatea", "full-client-apply")

    def gate_compare(self):
        return self.gate("gatec", "full-client")


class FullClientTest(E2eCase):

    @classmethod
    def setUpClass(cls):
        cls.release = Release()
        cls.scenarios = Scenarios(cls.release)
        names = ("names", "refusals", "reuse", "compare", "apply_quarantine", "apply_list_only",
                 "apply_blocked", "gate_apply", "gate_compare")
        cls.outcomes = harness.run_parallel(
            {name: getattr(cls.scenarios, name) for name in names}, workers=len(names))

    @classmethod
    def tearDownClass(cls):
        for client in cls.scenarios.clients:
            client.cleanup()
        cls.release.close()

    def test_package_file_name_comes_from_the_url_and_nothing_is_extracted_without_sha(self):
        client, outcomes, data = self.outcome("names")
        for url, name, result, got in outcomes:
            with self.subTest(url=url):
                self.assertEqual(result.code, 0, result)
                self.assertEqual(got, data, "no package at _full_tmp/" + name)
        self.assertEqual(requests_for(self.release, "/names/client.zip"), 2,
                         "without a SHA-256 a package is never reused")
        self.assertFalse(client.exists("_full_extract"))
        lines = client.log_lines()
        self.assertLogHas(lines, "WARNING: no SHA256 configured. Download is allowed for test "
                                 "only; extraction/apply remains disabled.")
        self.assertLogHas(lines, "Extraction and compare skipped: no package SHA256 is "
                                 "configured.")
        self.assertLogHas(lines, "expected sha256=not configured")
        self.assertLogLacksPrefix(lines, "Full client extracted")

    def test_bad_settings_are_refused_before_any_download(self):
        client, early, _, tmp_after_early, requests_after_early, _ = self.outcome("refusals")
        lines = client.log_lines()
        for key, line in (("0", "Invalid full client package size: 0"),
                          ("12a", "Invalid full client package size: 12a"),
                          ("18446744073709551616",
                           "Invalid full client package size: 18446744073709551616"),
                          ("sha63", "Invalid full client SHA256: " + "a" * 63),
                          ("apply-no-sha", "Full-client apply requires package SHA256. Aborting.")):
            with self.subTest(key):
                self.assertEqual(early[key].code, 5, early[key])
                self.assertLogHas(lines, line)
        self.assertFalse(tmp_after_early, "_full_tmp is made only after the settings passed")
        self.assertEqual(requests_after_early, 0)
        self.assertLogHas(lines, NOT_COMPLETED)

    def test_package_failing_its_size_or_digest_is_deleted(self):
        client, _, late, _, _, data = self.outcome("refusals")
        lines = client.log_lines()
        path = expected_client_dir(client) + "\\_full_tmp\\pkg.zip"
        for key in late:
            self.assertEqual(late[key].code, 5, late[key])
        self.assertLogHas(lines, "expected size=18446744073709551615")
        self.assertLogHas(lines, "File size mismatch. expected=18446744073709551615 actual=%d "
                                 "path=%s" % (len(data), path))
        self.assertLogHas(lines, "File SHA256 mismatch. expected=%s actual=%s path=%s"
                          % ("0" * 64, sha256(data), path))
        self.assertEqual(requests_for(self.release, "/bad/pkg.zip"), 2)
        self.assertTrue(client.exists("_full_tmp"))
        self.assertFalse(client.exists("_full_tmp/pkg.zip"))

    def test_valid_package_is_reused_and_validated_again(self):
        client, first, second, requests, data = self.outcome("reuse")
        self.assertEqual(first.code, 0, first)
        self.assertEqual(second.code, 0, second)
        self.assertEqual(requests, 1, "the second run downloads nothing")
        lines = client.log_lines()
        path = expected_client_dir(client) + "\\_full_tmp\\Reuse_Client.zip"
        self.assertLogHas(lines, "Existing full client package is missing/invalid; downloading "
                                 "again inside _full_tmp only.")
        self.assertLogHas(lines, "Already downloaded and valid: " + path)
        self.assertEqual(lines.count("File SHA256 validation OK: " + sha256(data)), 2)
        self.assertEqual(lines.count("Full client extracted successfully."), 2)
        self.assertEqual(read(client, "_full_tmp/Reuse_Client.zip"), data)

    def test_compare_reports_each_verdict_and_changes_nothing(self):
        client, result, before, after = self.outcome("compare")
        self.assertEqual(result.code, 0, result)
        self.assertEqual(after, before)
        lines = client.log_lines("FullClientCompare.log")
        for line in ("MISSING: Data\\Miss.bmd",
                     "DIFFERENT: Data\\Size.bmd (size package=10 client=3)",
                     "DIFFERENT: Data\\Hash.bmd (sha256 mismatch)",
                     "EXTRA: Data\\Extra.bmd",
                     "BLOCKED local reparse point: Data\\Linked",
                     "WARNING: package contains preserved file and it will be ignored: config.ini",
                     "PRESERVED/SKIPPED: config.ini",
                     "PRESERVED/EXTRA-SKIPPED: _full_extract",
                     "Package files: 7",
                     "OK count: 3"):
            self.assertLogHas(lines, line)
        main = client.log_lines()
        self.assertLogHas(main, "Full client compare dry-run summary: OK=3 MISSING=1 DIFFERENT=2 "
                                "EXTRA=1 BLOCKED=1 PRESERVED=5")
        self.assertLogHas(main, "No apply/replacement was performed in V2-C9 stage 3.")
        self.assertLogHas(main, "RiveRoravav full-client mode finished")
        self.assertRelaunchedFrom(client)

    def test_apply_with_quarantine_repairs_moves_extras_and_cleans_work_folders(self):
        client, result, files = self.outcome("apply_quarantine")
        self.assertEqual(result.code, 0, result)
        self.assertEqual(read(client, "Main.exe"), files["Main.exe"])
        self.assertEqual(read(client, "Data/A.bmd"), b"new a")
        self.assertEqual(read(client, "Data/B/New.bmd"), b"new b")
        self.assertEqual(read(client, "config.ini"), b"[user]\n")
        self.assertFalse(client.exists("Data/Hook.dll"))
        self.assertFalse(client.exists("Data/Extra.bmd"))
        self.assertFalse(client.exists("Data/Stale"), "emptied by the quarantine, then removed")
        self.assertTrue(client.exists("ScreenShots/s.jpg"))
        for work in ("_full_tmp", "_full_extract", "_backup_update", "_quarantine_update"):
            self.assertFalse(client.exists(work), work)
        # The diagnostics marker survived the quarantine, so the logs did too.
        self.assertTrue(client.exists("Data/Local/EnableDiagnostics.txt"))
        lines = client.log_lines("FullClientApply.log")
        applied = [l for l in lines if l.startswith("APPLIED: ")]
        self.assertEqual(sorted(applied), ["APPLIED: Data\\A.bmd", "APPLIED: Data\\B\\New.bmd",
                                           "APPLIED: Main.exe"])
        self.assertEqual(applied[-1], "APPLIED: Main.exe")
        self.assertLogHas(lines, "PRESERVED/APPLY-SKIPPED: Data\\Hook.dll")
        self.assertLogHas(lines, "PRESERVED/APPLY-SKIPPED: config.ini")
        self.assertTrue(any(l.startswith("QUARANTINED: Data\\Extra.bmd -> ") for l in lines))
        self.assertLogHas(lines, "EXTRA_DIR removed empty: Data\\Stale")
        self.assertLogHas(lines, "Full client repair apply complete. Repair artifacts cleaned "
                                 "after successful apply.")
        self.assertLogHas(client.log_lines(), "RiveRoravav full-client-apply mode finished")
        self.assertRelaunchedFrom(client)

    def test_apply_without_quarantine_only_lists_extras(self):
        client, result, files = self.outcome("apply_list_only")
        self.assertEqual(result.code, 0, result)
        self.assertEqual(read(client, "Main.exe"), files["Main.exe"])
        self.assertEqual(read(client, "Data/Extra.bmd"), b"extra")
        self.assertEqual(read(client, "Data/Stale/Old.bmd"), b"stale")
        self.assertTrue(client.exists("_full_tmp/pkg.zip"))
        self.assertTrue(client.exists("_full_extract"))
        self.assertFalse(client.exists("_quarantine_update"))
        lines = client.log_lines("FullClientApply.log")
        self.assertLogHas(lines, "Extras were detected but not moved because --quarantine-extras "
                                 "was not provided.")
        self.assertLogHas(lines, "EXTRA/NOT-MOVED: Data\\Extra.bmd")
        self.assertLogHas(lines, "EXTRA/NOT-MOVED: Data\\Stale\\Old.bmd")
        self.assertLogLacksPrefix(lines, "EXTRA_DIR")
        self.assertRelaunchedFrom(client)

    def test_plan_with_a_link_changes_nothing(self):
        client, result, before, after = self.outcome("apply_blocked")
        self.assertEqual(result.code, 5, result)
        self.assertEqual(after, before)
        lines = client.log_lines("FullClientApply.log")
        self.assertLogHas(lines, "BLOCKED local reparse point: Data\\Elsewhere")
        self.assertLogHas(lines, "Repair plan has BLOCKED entries: 1")
        self.assertLogLacksPrefix(lines, "APPLIED: ")
        self.assertLogHas(client.log_lines(), NOT_COMPLETED)
        self.assertEqual(os.listdir(client.outside("Elsewhere")), [])
        self.assertRelaunchedFrom(client)

    def test_other_instance_stops_apply_only(self):
        client, result, alive, before, requests = self.outcome("gate_apply")
        self.assertEqual(result.code, 3, result)
        self.assertEqual(result.dialogs, [BOX_OTHER])
        self.assertEqual(requests, 0, "nothing is fetched before the gate")
        self.assertFalse(client.exists("_full_tmp"))
        self.assertEqual(read(client, "Main.exe"), before)
        self.assertTrue(alive)

        client, result, alive, before, requests = self.outcome("gate_compare")
        self.assertEqual(result.code, 0, result)
        self.assertEqual(result.dialogs, [])
        self.assertEqual(requests, 1)
        lines = client.log_lines()
        self.assertLogHas(lines, SKIP_INSTANCE_CHECK)
        self.assertTrue(any(l.startswith("Full client compare dry-run summary: ") for l in lines))
        self.assertEqual(client.close_requests(), [])
        self.assertTrue(alive)


class FullClientMainRunningTest(E2eCase):
    """A game started after the gates, while the package downloads: the apply
    stops before Main.exe and rolls back the files it had already copied."""

    def test_main_exe_running_before_its_replacement_aborts_and_rolls_back(self):
        release = Release()
        self.addCleanup(release.close)
        client = self.client()
        client.enable_diagnostics()
        client.write("Data/A.bmd", b"old a")
        data = make_zip({"Main.exe": read(client, "Main.exe") + b"\0new\0",
                         "fake_game.cfg": GAME_CFG, "Data/A.bmd": b"new a"})
        release.put("running/pkg.zip", data)
        release.server.set_route("/running/pkg.zip",
                                 {"file": "running/pkg.zip", "delay_seconds": 4})
        old_main = read(client, "Main.exe")

        def start_game_during_download():
            harness.wait_until(lambda: release.requested("/running/pkg.zip"), timeout=60)
            client.start_game()

        outcomes = harness.run_parallel({
            "run": lambda: run(client, "full-client-apply",
                               package_args(release.url("/running/pkg.zip"), data)),
            "game": start_game_during_download,
        })
        for outcome in outcomes.values():
            if isinstance(outcome, BaseException):
                raise outcome
        self.assertEqual(outcomes["run"].code, 5, outcomes["run"])
        self.assertEqual(read(client, "Main.exe"), old_main)
        self.assertEqual(read(client, "Data/A.bmd"), b"old a", "the copy is rolled back")
        lines = client.log_lines("FullClientApply.log")
        self.assertLogHas(lines, "Main.exe is still running before full-client replacement. "
                                 "Aborting.")
        self.assertLogHas(lines, "ROLLBACK restored backup: Data\\A.bmd")
        self.assertLogHas(client.log_lines(), NOT_COMPLETED)
