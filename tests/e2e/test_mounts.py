"""Mounts below the client folder, bind mounts of an outside folder and a
tmpfs of its own: every walk, open and delete refuses them like links, so
nothing behind them is deleted, written or moved, whatever the mode does.

Needs root (mount); natively only: a Windows volume mount point is a reparse
point, which the link tests cover, and Wine shows a bind mount as a folder.
"""
import os
import subprocess

import harness
from e2e_common import E2eCase, expected_client_dir
from release import Release
from test_full_client import GAME_CFG, make_zip, package_args, read, run
from test_hostile import listing


class MountCase(E2eCase):

    def setUp(self):
        if harness.under_wine():
            self.skipTest("mount tests run natively only")
        if os.geteuid() != 0:
            self.skipTest("mount tests need root to mount; run them as root")
        super().setUp()
        self.release = Release()
        self.addCleanup(self.release.close)
        self.mounts = []

    def tearDown(self):
        # Before the client folder is removed: a removal would go through them.
        for target in reversed(self.mounts):
            subprocess.run(["umount", "-l", target], check=False)
        super().tearDown()

    def mount(self, target, source=None):
        """Bind-mounts `source` at `target`, or a small tmpfs without one."""
        os.makedirs(target, exist_ok=True)
        if source:
            command = ["mount", "--bind", source, target]
        else:
            command = ["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", target]
        subprocess.run(command, check=True)
        self.mounts.append(target)

    def outside_tree(self, client, name, files=3, empty_dirs=0):
        base = client.outside(name)
        for i in range(files):
            client.write_outside("%s/sub/f%d.bmd" % (name, i), b"outside %d" % i)
        for i in range(empty_dirs):
            os.makedirs(os.path.join(base, "empty%d" % i, "inner"))
        return base

    def package(self, client, files):
        data = make_zip(files)
        self.release.put("mounts/pkg.zip", data)
        return package_args(self.release.url("/mounts/pkg.zip"), data)


class MountTest(MountCase):

    def test_cleanup_deletes_nothing_behind_a_bind_mount_or_a_tmpfs(self):
        client = self.client()
        client.enable_diagnostics()
        inside = self.outside_tree(client, "Inside", files=21)
        whole = self.outside_tree(client, "Whole")
        client.write("_full_extract/own.txt", b"extracted")
        self.mount(client.file("_full_extract/m"), inside)
        self.mount(client.file("_full_tmp"), whole)
        self.mount(client.file("_backup_update/m"))
        with open(client.file("_backup_update/m/tmpfs.txt"), "wb") as f:
            f.write(b"on its own device")
        before = {name: listing(client.outside(name)) for name in ("Inside", "Whole")}
        tmpfs = listing(client.file("_backup_update/m"))

        result = harness.run_updater(harness.updater_args(client, mode="cleanup-repair-artifacts"))

        self.assertEqual(result.code, 0, result)
        for name, seen in before.items():
            self.assertEqual(listing(client.outside(name)), seen, name)
        self.assertEqual(listing(client.file("_backup_update/m")), tmpfs)
        self.assertFalse(client.exists("_full_extract/own.txt"), "the client's own file goes")
        lines = client.log_lines("RepairCleanup.log")
        full = expected_client_dir(client)
        self.assertLogHas(lines, "BLOCKED child reparse point: %s\\_full_extract\\m" % full)
        self.assertLogHas(lines, "BLOCKED cleanup target is a reparse point: %s\\_full_tmp" % full)
        self.assertLogHas(lines, "BLOCKED child reparse point: %s\\_backup_update\\m" % full)
        self.assertLogHas(lines, " blocked: 3")

    def test_apply_never_writes_into_or_empties_a_mounted_folder(self):
        """Each case: what is mounted where, and the line that refuses it."""
        cases = [
            # A stale extraction folder holding a mount is not emptied.
            ("work folders", {"_full_extract/m": "tmpfs", "_backup_update/m": "Outside"},
             "Failed to clean _full_extract. No client files were touched."),
            # Empty folders inside a mount are no empty extras of the client.
            ("Data/Mnt", {"Data/Mnt": "Outside"}, "BLOCKED local reparse point: Data\\Mnt"),
            # Data itself: the compare and the apply refuse to go through it.
            ("Data", {"Data": "Outside"}, "BLOCKED local reparse point: Data"),
        ]
        for tag, mounts, refusal in cases:
            with self.subTest(tag):
                client = self.client(name="Client_" + tag.replace("/", "_").replace(" ", "_"))
                client.enable_diagnostics()
                client.write("Data/A.bmd", b"old a")
                outside = self.outside_tree(client, "Outside", empty_dirs=20)
                for where, what in mounts.items():
                    self.mount(client.file(where), None if what == "tmpfs" else outside)
                seen = listing(outside)
                args = self.package(client, {"Main.exe": read(client, "Main.exe"),
                                             "fake_game.cfg": GAME_CFG, "Data/A.bmd": b"new a",
                                             "Data/B.bmd": b"new b"})

                result = run(client, "full-client-apply", args, quarantine=True)

                self.assertEqual(result.code, 5, result)
                self.assertEqual(listing(outside), seen, "nothing outside changes")
                if tag != "Data":
                    self.assertIn(read(client, "Data/A.bmd"), (b"old a", b"new a"))
                self.assertLogHas(client.log_lines(), refusal)
