"""A client folder prepared by an attacker: links, hard links, FIFOs and
crashes. Whatever the run does, nothing beside the client folder changes and
nothing in it is lost."""
import os
import stat

import harness
from e2e_common import E2eCase, expected_client_dir
from release import Release, sha256, snapshot

FAILED_UPDATE = ("V2-C4.3 update did not complete. Relaunching Main.exe without applying "
                 "further changes.")


def listing(folder):
    """Relative path -> (kind, digest or target) of everything below `folder`."""
    out = {}
    for base, dirs, names in os.walk(folder):
        for name in dirs + names:
            full = os.path.join(base, name)
            rel = os.path.relpath(full, folder)
            if os.path.islink(full):
                out[rel] = ("link", os.readlink(full))
            elif os.path.isdir(full):
                out[rel] = ("dir",)
            elif os.path.isfile(full):
                with open(full, "rb") as f:
                    out[rel] = ("file", sha256(f.read()), os.stat(full).st_nlink)
            else:
                out[rel] = ("other",)
    return out


class HostileCase(E2eCase):
    def setUp(self):
        super().setUp()
        self.release = Release()
        self.addCleanup(self.release.close)

    def prepared(self, data_link=False):
        """A client with diagnostics on and an outside folder full of files;
        with `data_link` its Data folder is a link to the outside one (the
        diagnostics marker then lies behind the link)."""
        client = self.client()
        for i in range(3):
            client.write_outside("Outside/Data/Item/f%d.bmd" % i, b"outside %d" % i)
        client.write_outside("Outside/Data/Item/Sword.bmd", b"outside sword")
        if data_link:
            client.write_outside("Outside/Data/Local/EnableDiagnostics.txt", b"")
            os.symlink(client.outside("Outside/Data"), client.file("Data"))
        else:
            client.enable_diagnostics()
        return client

    def update(self, client, files):
        url = self.release.manifest("manifest.json", files)
        return harness.run_updater(harness.updater_args(client, extra=["--manifest-url", url]))


class HostileUpdateTest(HostileCase):

    def test_a_data_folder_link_takes_no_write(self):
        client = self.prepared(data_link=True)
        outside = listing(client.outside("Outside"))
        before = snapshot(client, skip=("Logs",))
        result = self.update(client, [
            self.release.entry("Data/Item/Sword.bmd", b"new sword"),
            self.release.entry("Data/Item/New.bmd", b"new file"),
        ])
        self.assertEqual(result.code, 5, result)
        self.assertEqual(listing(client.outside("Outside")), outside)
        self.assertEqual(snapshot(client, skip=("Logs", "_update_tmp")), before)
        self.assertLogHas(client.log_lines(),
                          "Rejected link at update destination: " +
                          expected_client_dir(client) + "\\Data\\Item\\Sword.bmd")

    def test_a_link_inside_the_backup_folder_carries_nothing_out(self):
        client = self.prepared()
        client.write("Data/Item/Sword.bmd", b"old sword")
        os.makedirs(client.file("_backup_update"))
        os.symlink(client.outside("Outside/Data"), client.file("_backup_update/Data"))
        outside = listing(client.outside("Outside"))
        result = self.update(client, [self.release.entry("Data/Item/Sword.bmd", b"new sword")])
        self.assertEqual(result.code, 5, result)
        self.assertEqual(listing(client.outside("Outside")), outside)
        with open(client.file("Data/Item/Sword.bmd"), "rb") as f:
            self.assertEqual(f.read(), b"old sword", "no backup, no replacement")
        self.assertLogHas(client.log_lines(),
                          "Failed to create backup directory: " + expected_client_dir(client) +
                          "\\_backup_update\\Data\\Item\\Sword.bmd reason=link on the way")

    def test_a_hard_link_at_the_destination_is_broken_not_written_through(self):
        client = self.prepared()
        os.makedirs(client.file("Data/Item"))
        try:
            os.link(client.outside("Outside/Data/Item/Sword.bmd"), client.file("Data/Item/Sword.bmd"))
        except OSError as e:
            self.skipTest("no hard links here: %s" % e)
        outside = listing(client.outside("Outside"))
        result = self.update(client, [self.release.entry("Data/Item/Sword.bmd", b"new sword")])
        self.assertEqual(result.code, 0, result)
        with open(client.file("Data/Item/Sword.bmd"), "rb") as f:
            self.assertEqual(f.read(), b"new sword")
        after = listing(client.outside("Outside"))
        self.assertEqual(after["Data/Item/Sword.bmd"][:2], outside["Data/Item/Sword.bmd"][:2])
        self.assertEqual(after["Data/Item/Sword.bmd"][2], 1, "the hard link was broken")

    def test_a_fifo_at_a_destination_is_refused_without_hanging(self):
        if harness.under_wine():
            self.skipTest("Wine opens a FIFO as a file and blocks inside Wine itself")
        client = self.prepared()
        os.makedirs(client.file("Data/Item"))
        os.mkfifo(client.file("Data/Item/Sword.bmd"))
        result = self.update(client, [self.release.entry("Data/Item/Sword.bmd", b"new sword")])
        self.assertEqual(result.code, 5, result)
        self.assertTrue(stat.S_ISFIFO(os.lstat(client.file("Data/Item/Sword.bmd")).st_mode))
        self.assertLogHas(client.log_lines(),
                          "Rejected update destination that is not a regular file: " +
                          expected_client_dir(client) + "\\Data\\Item\\Sword.bmd")


class HostileDryRunTest(HostileCase):

    def test_links_and_fifos_are_never_entered_or_read(self):
        client = self.prepared(data_link=True)
        os.makedirs(client.file("Other"))
        client.write("Other/Ok.bmd", b"ok")
        if not harness.under_wine():
            os.mkfifo(client.file("Other/Pipe.bmd"))
            os.symlink("/dev/zero", client.file("Other/Zero.bmd"))
        files = [
            {"path": "Data/Item/Sword.bmd", "url": "x", "size": 1, "sha256": sha256(b"x")},
            {"path": "Other/Ok.bmd", "url": "x", "size": 2, "sha256": sha256(b"ok")},
        ]
        if not harness.under_wine():
            files += [
                {"path": "Other/Pipe.bmd", "url": "x", "size": 1, "sha256": sha256(b"x")},
                {"path": "Other/Zero.bmd", "url": "x", "size": 1, "sha256": sha256(b"x")},
            ]
        url = self.release.manifest("full.json", files, managedRoots=["Data\\"])
        outside = listing(client.outside("Outside"))
        result = harness.run_updater(harness.updater_args(
            client, mode="repair-dry-run", extra=["--full-manifest-url", url]), timeout=60)
        self.assertEqual(result.code, 0, result)
        self.assertEqual(listing(client.outside("Outside")), outside)
        lines = client.log_lines("RepairDryRun.log")
        self.assertLogHas(lines, "BLOCKED reparse point: Data\\Item\\Sword.bmd")
        self.assertLogHas(lines, "OK: Other\\Ok.bmd")
        self.assertLogLacksPrefix(lines, "EXTRA: Data")
        if not harness.under_wine():
            self.assertLogHas(lines, "BLOCKED not a regular file: Other\\Pipe.bmd")
            self.assertLogHas(lines, "BLOCKED reparse point: Other\\Zero.bmd")


def killed_at(args, n):
    """One run that the product itself ends right before its n-th change."""
    os.environ["RIVERORAVAV_CRASH_AFTER"] = str(n)
    try:
        return harness.run_updater(args)
    finally:
        del os.environ["RIVERORAVAV_CRASH_AFTER"]


class CrashSafetyTest(HostileCase):
    """Kills the updater at many points of one update, by its own count of
    changes on disk, then lets a second run finish the job."""

    POINTS = int(os.environ.get("RR_CRASH_POINTS", "32"))

    def test_an_update_killed_anywhere_is_finished_by_the_next_run(self):
        r = self.release
        old_main = None
        files = []
        finished = 0
        killed = 0
        # Points spread over the whole run: start-up, downloads, backups,
        # replacements, Main.exe, the clean-up after the run.
        step = int(os.environ.get("RR_CRASH_STEP", "4"))
        for n in range(1, 1 + self.POINTS * step, step):
            client = self.prepared()
            client.write("Data/Item/Sword.bmd", b"old sword" * 1000)
            client.write("Data/Local/Eng/Text.bmd", b"old text")
            client.write("Data/Mine.bmd", b"not in the manifest")
            client.write("config.ini", b"[mine]")
            if old_main is None:
                with open(client.main_exe, "rb") as f:
                    old_main = f.read()
                files = [
                    r.entry("Main.exe", old_main + b"\0v2\0"),
                    r.entry("Data/Item/Sword.bmd", b"new sword" * 300000),
                    r.entry("Data/Local/Eng/Text.bmd", b"new text"),
                    r.entry("Data/Item/Added.bmd", b"added"),
                ]
            url = r.manifest("manifest.json", files)
            outside = listing(client.outside("Outside"))
            args = harness.updater_args(client, extra=["--manifest-url", url])
            first = killed_at(args, n)
            if first.code == 0:
                finished += 1
            else:
                killed += 1
            second = harness.run_updater(args)
            self.assertEqual(second.code, 0, (n, first, second))
            for e in files:
                with open(client.file(e["path"]), "rb") as f:
                    self.assertEqual(sha256(f.read()), e["sha256"], (n, e["path"]))
            with open(client.file("Data/Mine.bmd"), "rb") as f:
                self.assertEqual(f.read(), b"not in the manifest", n)
            with open(client.file("config.ini"), "rb") as f:
                self.assertEqual(f.read(), b"[mine]", n)
            self.assertEqual(listing(client.outside("Outside")), outside, n)
            leftovers = [p for p in snapshot(client, skip=("Logs",)) if p.endswith(".~rrnew")]
            self.assertEqual(leftovers, [], n)
            client.cleanup()
        self.assertGreaterEqual(killed, 30, "only %d runs were cut short" % killed)

    APPLY_POINTS = int(os.environ.get("RR_APPLY_CRASH_POINTS", "24"))

    def test_a_full_client_apply_killed_anywhere_is_finished_by_the_next_run(self):
        """Kill points at every change of the first part of the run (the
        copies, their staged bytes and renames, the backups, the quarantine)
        and spread over the rest; the rerun must converge on its own."""
        from test_full_client import GAME_CFG, make_zip, package_args
        work = ("_full_tmp", "_full_extract", "_backup_update", "_quarantine_update")
        package = None
        finished = killed = 0
        step = int(os.environ.get("RR_APPLY_CRASH_STEP", "16"))
        for n in range(1, 1 + self.APPLY_POINTS * step, step):
            client = self.prepared()
            client.write("Data/A.bmd", b"old a" * 1000)
            client.write("Data/A.bmd.~rrnew", b"a client file named like a temporary copy")
            client.write("Data/Extra.bmd", b"an extra")
            os.makedirs(client.file("Data/Empty/Inner"))
            client.write("config.ini", b"[mine]")
            if package is None:
                with open(client.main_exe, "rb") as f:
                    files = {"Main.exe": f.read(), "fake_game.cfg": GAME_CFG,
                             "Data/A.bmd": b"new a" * 300000, "Data/B.bmd": b"new b",
                             "Data/Item/C.bmd": b"new c"}
                package = make_zip(files)
                self.release.put("crash/pkg.zip", package)
            args = harness.updater_args(
                client, mode="full-client-apply",
                extra=package_args(self.release.url("/crash/pkg.zip"), package) +
                ["--quarantine-extras"])
            outside = listing(client.outside("Outside"))
            first = killed_at(args, n)
            if first.code == 0:
                finished += 1
            else:
                killed += 1
                # A killed run loses no extra: in place, in the quarantine,
                # or removed with it by the cleanup after a completed apply.
                quarantined = [p for p in snapshot(client, skip=("Logs",))
                               if p.startswith("_quarantine_update") and p.endswith("Extra.bmd")]
                cleaning = ("Automatic repair artifact cleanup after successful "
                            "full-client-apply started.") in client.log_lines("FullClientApply.log")
                self.assertTrue(client.exists("Data/Extra.bmd") or quarantined or cleaning, n)
            second = harness.run_updater(args)
            self.assertEqual(second.code, 0, (n, first, second))
            for rel, data in files.items():
                with open(client.file(rel), "rb") as f:
                    self.assertEqual(f.read(), data, (n, rel))
            with open(client.file("config.ini"), "rb") as f:
                self.assertEqual(f.read(), b"[mine]", n)
            lines = client.log_lines("FullClientApply.log")
            done = [l for l in lines if l.startswith("Full client repair apply complete.")]
            self.assertEqual(done[-1:], ["Full client repair apply complete. Repair artifacts "
                                         "cleaned after successful apply."], n)
            self.assertFalse(client.exists("Data/Extra.bmd"), n)
            # The client's own file of that name is an extra like any other.
            self.assertFalse(client.exists("Data/A.bmd.~rrnew"), n)
            for folder in work:
                self.assertFalse(client.exists(folder), (n, folder))
            self.assertEqual(listing(client.outside("Outside")), outside, n)
            client.cleanup()
        self.assertGreaterEqual(killed, self.APPLY_POINTS // 2, "only %d runs were cut short" % killed)
