"""The default update mode end to end: a real release served on 127.0.0.1, a
real client folder, the fake game as Main.exe."""
import os
import stat

import harness
from e2e_common import E2eCase, expected_client_dir
from release import Release, snapshot

FAILED_UPDATE = ("V2-C4.3 update did not complete. Relaunching Main.exe without applying "
                 "further changes.")


class UpdateCase(E2eCase):
    def setUp(self):
        super().setUp()
        self.release = Release()
        self.addCleanup(self.release.close)

    def run_update(self, client, manifest_url, fallback=None):
        extra = ["--manifest-url", manifest_url]
        if fallback is not None:
            extra += ["--fallback-manifest-url", fallback]
        return harness.updater_args(client, extra=extra)

    def read(self, client, rel):
        with open(client.file(rel), "rb") as f:
            return f.read()


class UpdateSuccessTest(UpdateCase):

    def test_changed_and_missing_files_are_updated_main_exe_last(self):
        client = self.client()
        client.enable_diagnostics()
        old_main = self.read(client, "Main.exe")
        new_main = old_main + b"\0release 2\0"
        r = self.release
        client.write("Data/Local/Eng/Text.bmd", b"text v1")
        client.write("Data/Item/Sword.bmd", b"same sword")
        client.write("config.ini", b"[video]\n")
        client.write("Launcher.exe", b"old launcher", mode=stat.S_IRUSR)
        client.write("Logs/StartupDiag.log", b"diag")
        os.makedirs(client.file("Launcherlib.dll"))
        files = [
            r.entry("Main.exe", new_main),
            r.entry("Data\\Local\\Eng\\Text.bmd", b"text v2"),
            r.entry("Data/Item/Sword.bmd", b"same sword"),
            r.entry("Data/Scripts/ai/boss.lua", b"return 2"),
        ]
        before_config = self.read(client, "config.ini")
        result = harness.run_updater(self.run_update(client, r.manifest("manifest.json", files)))
        self.assertEqual(result.code, 0, result)

        self.assertEqual(self.read(client, "Main.exe"), new_main)
        self.assertEqual(self.read(client, "Data/Local/Eng/Text.bmd"), b"text v2")
        self.assertEqual(self.read(client, "Data/Scripts/ai/boss.lua"), b"return 2")
        self.assertEqual(self.read(client, "Data/Item/Sword.bmd"), b"same sword")
        self.assertEqual(self.read(client, "config.ini"), before_config)
        self.assertFalse(client.exists("_update_tmp"))
        self.assertFalse(client.exists("_backup_update"), "removed after the successful run")
        self.assertFalse(client.exists("Launcher.exe"), "a read-only legacy file is deleted")
        self.assertFalse(client.exists("Logs/StartupDiag.log"))
        self.assertTrue(os.path.isdir(client.file("Launcherlib.dll")), "a folder is kept")
        self.assertRelaunchedFrom(client)

        lines = client.log_lines()
        updated = [l for l in lines if l.startswith("Updated file: ")]
        self.assertEqual(updated, ["Updated file: Data\\Local\\Eng\\Text.bmd",
                                   "Updated file: Data\\Scripts\\ai\\boss.lua",
                                   "Updated file: Main.exe"])
        self.assertLogHas(lines, "Local file already up to date: Data\\Item\\Sword.bmd")
        self.assertLogHas(lines, "Local file missing and needs update: Data\\Scripts\\ai\\boss.lua")
        self.assertLogHas(lines, "Local file differs and needs update: Main.exe")
        self.assertLogHas(lines, "Main.exe replacement safety check passed: no same-path "
                                 "instance is running.")
        self.assertLogHas(lines, "RiveRoravav V2-C4.3 Main/Data update finished successfully")
        self.assertLogHas(lines, "backup cleanup after successful update: OK")
        base = expected_client_dir(client)
        self.assertLogHas(lines, "legacy_cleanup_deleted path=" + base + "\\Launcher.exe")
        self.assertLogHas(lines, "legacy_cleanup_failed path=" + base +
                          "\\Launcherlib.dll error=target is directory")
        self.assertEqual(lines[-1], "RiveRoravav V2-C4.3 finished")

        # A second run finds nothing to do.
        again = harness.run_updater(self.run_update(client, self.release.url("manifest.json")))
        self.assertEqual(again.code, 0, again)
        self.assertLogHas(client.log_lines(), "All files already up to date.")

    def test_a_failing_mirror_falls_through_to_the_next(self):
        client = self.client()
        client.enable_diagnostics()
        r = self.release
        client.write("Data/Item/Axe.bmd", b"old axe")
        good = b"the right axe" * 100
        r.put("m2/Data/Item/Axe.bmd", b"the wrong axe" * 100)
        r.put("m3/Data/Item/Axe.bmd", good)
        entry = r.entry("Data/Item/Axe.bmd", good, url="Data/Item/Axe.bmd")
        url = r.manifest("manifest.json", [entry],
                         mirrors=[r.url("m1"), r.url("m2/"), "ftp://127.0.0.1/m", r.url("m3")])
        result = harness.run_updater(self.run_update(client, url))
        self.assertEqual(result.code, 0, result)
        self.assertEqual(self.read(client, "Data/Item/Axe.bmd"), good)
        lines = client.log_lines()
        self.assertLogHas(lines, "Rejected file HTTP status=404 url=" + r.url("m1/Data/Item/Axe.bmd"))
        self.assertTrue(any(l.startswith("Downloaded file SHA256 mismatch. expected=") for l in lines))
        self.assertLogHas(lines, "Downloading file: " + r.url("m3/Data/Item/Axe.bmd"))

    def test_a_link_named_logs_keeps_the_legacy_logs(self):
        client = self.client()
        outside = os.path.join(client.root, "RealLogs")
        os.makedirs(outside)
        os.symlink(outside, client.file("Logs"))
        # The logs of an earlier run sit behind the link: a run must neither
        # append to them nor delete them.
        for name in ("StartupDiag.log", "DefenderExclusion.log", "ClientSecuritySetup.log",
                     "RiveRoravav.log", "RepairCleanup.log"):
            client.write("Logs/" + name, b"keep me")
        os.makedirs(client.file("Launcher.exe"))
        entry = self.release.entry("Data/Item/Same.bmd", b"same")
        client.write("Data/Item/Same.bmd", b"same")
        url = self.release.manifest("manifest.json", [entry])
        result = harness.run_updater(self.run_update(client, url))
        self.assertEqual(result.code, 0, result)
        self.assertEqual(sorted(os.listdir(outside)),
                         sorted(["StartupDiag.log", "DefenderExclusion.log",
                                 "ClientSecuritySetup.log", "RiveRoravav.log",
                                 "RepairCleanup.log"]))
        for name in os.listdir(outside):
            with open(os.path.join(outside, name), "rb") as f:
                self.assertEqual(f.read(), b"keep me", name)
        self.assertTrue(os.path.isdir(client.file("Launcher.exe")))


class UpdateRetryTest(UpdateCase):
    """A file that fails on the way is fetched again from the same URL."""

    def update_with(self, route):
        client = self.client()
        client.enable_diagnostics()
        r = self.release
        data = bytes(range(256)) * 800
        client.write("Data/Item/A.bmd", b"old a")
        url = r.manifest("m.json", [r.entry("Data/Item/A.bmd", data)])
        r.server.set_route("/files/Data/Item/A.bmd", route)
        result = harness.run_updater(self.run_update(client, url))
        lines = client.log_lines()
        retries = [l for l in lines if l.startswith("Retrying ")]
        requests = [q for q in r.server.requests if q["path"] == "/files/Data/Item/A.bmd"]
        return client, result, lines, retries, len(requests), data

    def test_a_busy_file_is_retried_until_it_comes(self):
        client, result, lines, retries, requests, data = self.update_with(
            {"status": 503, "retry_after": 0, "body": "busy", "times": 2})
        self.assertEqual(result.code, 0, result)
        self.assertEqual(self.read(client, "Data/Item/A.bmd"), data)
        file_url = self.release.url("files/Data/Item/A.bmd")
        self.assertEqual(retries, [
            "Retrying %s in 0 s after HTTP status 503 (attempt %d of 4)." % (file_url, k)
            for k in (2, 3)])
        self.assertEqual(requests, 3)
        self.assertEqual(lines.count("Downloading file: " + file_url), 3, "each attempt logs afresh")
        self.assertEqual(lines.count("Rejected file HTTP status=503 url=" + file_url), 2)

    def test_a_file_reset_mid_body_is_retried(self):
        client, result, lines, retries, requests, data = self.update_with(
            {"file": "files/Data/Item/A.bmd", "send": 50000, "reset": True, "times": 1})
        self.assertEqual(result.code, 0, result)
        self.assertEqual(self.read(client, "Data/Item/A.bmd"), data)
        self.assertEqual(len(retries), 1, lines)
        # The library names the broken connection; either way it is retried.
        self.assertRegex(retries[0], r" in 1 s after (connection (aborted|reset) \(error 1203[01]\)"
                                     r"|body cut short at \d+ of 204800 bytes) \(attempt 2 of 4\)\.$")
        self.assertEqual(requests, 2)

    def test_a_missing_file_is_not_retried(self):
        client, result, lines, retries, requests, _ = self.update_with({"status": 404})
        self.assertEqual(result.code, 5, result)
        self.assertEqual(self.read(client, "Data/Item/A.bmd"), b"old a")
        self.assertEqual(retries, [])
        self.assertEqual(requests, 1)
        self.assertLogHas(lines, "Rejected file HTTP status=404 url=" +
                          self.release.url("files/Data/Item/A.bmd"))
        self.assertLogHas(lines, FAILED_UPDATE)


class UpdateRefusalTest(UpdateCase):
    """Every refusal leaves the client folder as it was and exits 5 after relaunching."""

    def scenario(self, name, files_or_url, expected_line, fallback=None, **manifest_fields):
        client = self.client()
        client.enable_diagnostics()
        client.write("Data/Item/Sword.bmd", b"old sword")
        client.write("config.ini", b"[video]\n")
        if isinstance(files_or_url, str):
            url = files_or_url
        else:
            # A valid, changed file first: it may be downloaded, never applied.
            sword = self.release.entry("Data/Item/Sword.bmd", b"new sword")
            sword["url"] = self.release.url(sword["url"])  # mirrors never apply to it
            files = [sword] + files_or_url
            url = self.release.manifest(name + ".json", files, **manifest_fields)
        before = snapshot(client)

        def run():
            return harness.run_updater(self.run_update(client, url, fallback))

        return name, client, before, run, expected_line

    def test_refusals_leave_the_client_untouched(self):
        r = self.release
        sha = "a" * 64
        cases = [
            self.scenario("traversal", [{"path": "Data/../Main.exe", "url": "x", "size": 1,
                                         "sha256": sha}],
                          "BLOCKED manifest file not allowed: Data/../Main.exe "
                          "reason=invalid-relative-path"),
            self.scenario("absolute", [{"path": "C:/Windows/x.bmd", "url": "x", "size": 1,
                                        "sha256": sha}],
                          ("Rejected unsafe manifest path: C:/Windows/x.bmd",
                           "blocked absolute path: C:/Windows/x.bmd")),
            self.scenario("device", [r.entry("Data/Item/con.bmd", b"dev")],
                          ("Rejected unsafe manifest path: Data/Item/con.bmd",
                           "blocked device name: Data/Item/con.bmd")),
            # Win32 strips a trailing dot or space: these would land as x.dll
            # and y.exe, past the DLL and EXE blocks.
            self.scenario("trailingdot", [r.entry("Data/World1/x.dll.", b"MZ")],
                          ("Rejected unsafe manifest path: Data/World1/x.dll.",
                           "blocked trailing dot or space: Data/World1/x.dll.")),
            self.scenario("trailingspace", [r.entry("Data/World1/y.exe ", b"MZ")],
                          ("Rejected unsafe manifest path: Data/World1/y.exe ",
                           "blocked trailing dot or space: Data/World1/y.exe ")),
            # A line break in a path must not forge a line of the log.
            self.scenario("forged", [{"path": "Data/a\r\n[2026-01-01 00:00:00] RiveRoravav "
                                              "V2-C4.3 Main/Data update finished successfully",
                                      "url": "x", "size": 1, "sha256": sha}],
                          ("Rejected unsafe manifest path: Data/a\\r\\n[2026-01-01 00:00:00] "
                           "RiveRoravav V2-C4.3 Main/Data update finished successfully",
                           "blocked invalid path character: Data/a\\r\\n[2026-01-01 00:00:00] "
                           "RiveRoravav V2-C4.3 Main/Data update finished successfully")),
            self.scenario("config", [r.entry("config.ini", b"evil")],
                          "BLOCKED manifest file not allowed: config.ini "
                          "reason=blocked-filename:config.ini"),
            self.scenario("dll", [r.entry("Data/Hook.dll", b"MZ")],
                          "BLOCKED manifest file not allowed: Data\\Hook.dll reason=blocked-dll"),
            self.scenario("logs", [r.entry("Logs/x.bmd", b"x")],
                          "BLOCKED manifest file not allowed: Logs\\x.bmd "
                          "reason=blocked-directory:logs"),
            self.scenario("pdb", [r.entry("Data/World1/Main.pdb", b"pdb")],
                          "BLOCKED manifest file not allowed: Data\\World1\\Main.pdb "
                          "reason=blocked-extension:.pdb"),
            self.scenario("oversized", [r.entry("Data/Item/Big.bmd", b"x", size=52428801)],
                          "Rejected oversized test file: 52428801"),
            self.scenario("digest", [r.entry("Data/Item/Bad.bmd", b"x", sha256="ab" * 31 + "a")],
                          "Rejected file entry with invalid SHA256 text."),
            self.scenario("wrongbytes", [r.entry("Data/Item/Bad.bmd", b"promised",
                                                 url="Data/Item/Bad.bmd")],
                          "Failed to download and validate: Data\\Item\\Bad.bmd",
                          mirrors=[r.url("w1"), r.url("w2")]),
            self.scenario("nomanifest", r.url("missing.json"),
                          "Failed to download a valid manifest from primary and fallback URL. "
                          "No files will be touched.",
                          fallback=r.url("files/Data/Item/Sword.bmd")),
        ]
        r.put("w1/Data/Item/Bad.bmd", b"not it!!")
        r.put("w2/Data/Item/Bad.bmd", b"nor this")
        results = harness.run_parallel({c[0]: c[3] for c in cases}, workers=5)
        for name, client, before, _, expected in cases:
            with self.subTest(name):
                result = results[name]
                if isinstance(result, BaseException):
                    raise result
                self.assertEqual(result.code, 5, result)
                self.assertEqual(snapshot(client), before)
                lines = client.log_lines()
                for line in expected if isinstance(expected, tuple) else (expected,):
                    self.assertLogHas(lines, line)
                self.assertLogHas(lines, FAILED_UPDATE)
                self.assertLogLacksPrefix(lines, "Updated file: ")
                self.assertLogLacksPrefix(lines, "RiveRoravav V2-C4.3 Main/Data update finished")
                self.assertRelaunchedFrom(client)


class UpdateDuplicatePathTest(UpdateCase):

    def test_case_folded_duplicate_refuses_the_manifest_before_any_download(self):
        client = self.client()
        client.enable_diagnostics()
        client.write("Data/Item/Sword.bmd", b"old sword")
        old_main = self.read(client, "Main.exe")
        r = self.release
        files = [
            r.entry("Main.exe", old_main + b"\0first\0"),
            r.entry("MAIN.EXE", old_main + b"\0second\0"),
            r.entry("Data/Item/Sword.bmd", b"new sword", url="files/never-published.bmd"),
        ]
        url = r.manifest("dup.json", files)
        before = snapshot(client)
        result = harness.run_updater(self.run_update(client, url))
        self.assertEqual(result.code, 5, result)
        self.assertEqual([q["path"] for q in r.server.requests], ["/dup.json"])
        self.assertEqual(snapshot(client), before)
        lines = client.log_lines()
        self.assertLogHas(lines, "Manifest rejected: duplicate path after case folding: MAIN.EXE")
        self.assertLogHas(lines, "Failed to download a valid manifest from primary and fallback "
                                 "URL. No files will be touched.")
        self.assertLogLacksPrefix(lines, "Downloading file: ")
        self.assertRelaunchedFrom(client)


class UpdateApplyFailureTest(UpdateCase):

    def hold_open(self, client, path):
        """Another program keeps `path` open for reading only, so nobody can
        write it meanwhile."""
        self.addCleanup(harness.hold_file(client, path, 120))

    def test_failed_replacement_restores_the_file_and_keeps_work_folders(self):
        client = self.client()
        client.enable_diagnostics()
        r = self.release
        client.write("Data/Item/A.bmd", b"old a")
        client.write("Data/Item/B.bmd", b"old b")
        if harness.under_wine():
            # Windows refuses to overwrite a file that another program holds open.
            self.hold_open(client, client.file("Data/Item/B.bmd"))
        else:
            os.chmod(client.file("Data/Item/B.bmd"), stat.S_IRUSR)
        files = [r.entry("Data/Item/A.bmd", b"new a"), r.entry("Data/Item/B.bmd", b"new b")]
        result = harness.run_updater(self.run_update(client, r.manifest("m.json", files)))
        self.assertEqual(result.code, 5, result)
        self.assertEqual(self.read(client, "Data/Item/A.bmd"), b"new a")
        self.assertEqual(self.read(client, "Data/Item/B.bmd"), b"old b")
        self.assertTrue(client.exists("_update_tmp"))
        self.assertEqual(self.read(client, "_backup_update/Data/Item/A.bmd"), b"old a")
        lines = client.log_lines()
        self.assertTrue(any(l.startswith("Failed to replace file. error=") and
                            l.endswith("\\Data\\Item\\B.bmd") for l in lines), lines)
        self.assertLogHas(lines, "ApplyPreparedFiles failed.")
        self.assertRelaunchedFrom(client)

    def test_main_exe_started_after_the_gates_is_not_replaced(self):
        client = self.client()
        client.enable_diagnostics()
        r = self.release
        old_main = self.read(client, "Main.exe")
        client.write("Data/Item/A.bmd", b"old a")
        files = [r.entry("Main.exe", old_main + b"\0new\0"), r.entry("Data/Item/A.bmd", b"new a")]
        r.server.set_route("/files/Data/Item/A.bmd",
                           {"file": "files/Data/Item/A.bmd", "delay_seconds": 4})
        url = r.manifest("m.json", files)
        games = []

        def start_game_after_manifest():
            harness.wait_until(lambda: r.requested("/m.json"), timeout=60)
            games.append(client.start_game())

        results = harness.run_parallel({
            "run": lambda: harness.run_updater(self.run_update(client, url)),
            "game": start_game_after_manifest,
        })
        if isinstance(results["game"], BaseException):
            raise results["game"]
        result = results["run"]
        if isinstance(result, BaseException):
            raise result
        self.assertEqual(result.code, 5, result)
        self.assertEqual(self.read(client, "Data/Item/A.bmd"), b"new a")
        self.assertEqual(self.read(client, "Main.exe"), old_main)
        self.assertLogHas(client.log_lines(), "Main.exe is still running before replacement. "
                                              "Aborting without replacing Main.exe.")


class UpdateWorkFolderLinkTest(UpdateCase):
    """Links standing where the update's work folders go are never written through."""

    def test_staging_link_is_replaced_and_backup_link_refused(self):
        r = self.release
        files = [r.entry("Data/Item/A.bmd", b"new a")]
        url = r.manifest("m.json", files)

        staged = self.client()
        staged.enable_diagnostics()
        staged.write("Data/Item/A.bmd", b"old a")
        staged.write_outside("OutsideTmp/Precious.bin", b"precious")
        outside_tmp = staged.outside("OutsideTmp")
        os.symlink(outside_tmp, staged.file("_update_tmp"))

        backed = self.client()
        backed.enable_diagnostics()
        backed.write("Data/Item/A.bmd", b"old a")
        outside_backup = os.path.join(backed.root, "OutsideBackup")
        os.makedirs(outside_backup)
        os.symlink(outside_backup, backed.file("_backup_update"))

        results = harness.run_parallel({
            "staged": lambda: harness.run_updater(self.run_update(staged, url)),
            "backed": lambda: harness.run_updater(self.run_update(backed, url)),
        })
        for result in results.values():
            if isinstance(result, BaseException):
                raise result

        # The staging link is removed as a link and a real folder used instead.
        # Wine cannot remove a Unix link to a folder at all; the run then
        # refuses to stage anything, which is just as safe.
        if harness.under_wine():
            self.assertEqual(results["staged"].code, 5, results["staged"])
            self.assertEqual(self.read(staged, "Data/Item/A.bmd"), b"old a")
            self.assertTrue(any(l.startswith("Failed to create temp root: ")
                                for l in staged.log_lines()))
        else:
            self.assertEqual(results["staged"].code, 0, results["staged"])
            self.assertEqual(self.read(staged, "Data/Item/A.bmd"), b"new a")
        self.assertEqual(os.listdir(outside_tmp), ["Precious.bin"])
        with open(os.path.join(outside_tmp, "Precious.bin"), "rb") as f:
            self.assertEqual(f.read(), b"precious")

        # Backups would leave the client folder through the link: refused first.
        self.assertEqual(results["backed"].code, 5, results["backed"])
        self.assertEqual(self.read(backed, "Data/Item/A.bmd"), b"old a")
        self.assertEqual(os.listdir(outside_backup), [])
        self.assertTrue(os.path.islink(backed.file("_backup_update")))
        self.assertTrue(any(l.startswith("Backup folder is a link; refusing to write backups")
                            for l in backed.log_lines()))
