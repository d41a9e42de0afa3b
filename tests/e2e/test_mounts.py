"""Mounts below the client folder, bind mounts of an outside folder and a
tmpfs of its own: every walk, open and delete refuses them like links, so
nothing behind them is deleted, written or moved, whatever the mode does.

Needs root (mount); natively only: a Windows volume mount point is a reparse
point, which the link tests cover, and Wine shows a bind mount as a folder.
"""
import hashlib
import os
import shutil
import subprocess

import harness
from e2e_common import E2eCase, expected_client_dir
from release import Release, snapshot
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

    def mount(self, target, source=None, size="4m"):
        """Bind-mounts `source` at `target`, or a small tmpfs without one."""
        os.makedirs(target, exist_ok=True)
        if source:
            command = ["mount", "--bind", source, target]
        else:
            command = ["mount", "-t", "tmpfs", "-o", "size=" + size, "tmpfs", target]
        if subprocess.run(command).returncode != 0:
            self.skipTest("mount failed: " + " ".join(command))
        self.mounts.append(target)

    def mount_file(self, target, source):
        """Bind-mounts the file `source` over a file made at `target`."""
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(b"covered")
        if subprocess.run(["mount", "--bind", source, target]).returncode != 0:
            self.skipTest("mount failed: bind of a file")
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

    def test_dry_run_reads_nothing_behind_a_mount(self):
        """A file bind-mounted over a client file is blocked, not hashed, and
        the scan counts one mounted over a name of its own as an extra file;
        a mounted folder is never entered, whether the manifest names a file
        inside it or the scan comes to it."""
        client = self.client()
        client.enable_diagnostics()
        client.write("Data/Plain.bmd", b"plain")
        outside = self.outside_tree(client, "Outside")
        secret = client.write_outside("Secret.bmd", b"secret")
        self.mount_file(client.file("Data/Listed.bmd"), secret)
        self.mount_file(client.file("Data/Unlisted.bmd"), secret)
        self.mount(client.file("Data/Mnt"), outside)
        self.mount(client.file("Data/Tmp"))
        client.write("Data/Tmp/OnTmpfs.bmd", b"on its own device")
        digest = hashlib.sha256(b"secret").hexdigest()
        files = [{"path": path, "url": "files/" + path, "size": size, "sha256": digest}
                 for path, size in (("Data/Plain.bmd", 5), ("Data/Listed.bmd", 6),
                                    ("Data/Mnt/sub/f0.bmd", 9))]
        files[0]["sha256"] = hashlib.sha256(b"plain").hexdigest()
        url = self.release.manifest("mounts/full.json", files)
        seen = listing(outside)

        result = harness.run_updater(harness.updater_args(
            client, mode="repair-dry-run", extra=["--full-manifest-url", url]))

        self.assertEqual(result.code, 0, result)
        self.assertEqual(listing(outside), seen)
        lines = client.log_lines("RepairDryRun.log")
        full = expected_client_dir(client)
        for expected in [
            "OK: Data\\Plain.bmd",
            "BLOCKED reparse point: Data\\Listed.bmd",
            "BLOCKED reparse point: Data\\Mnt\\sub\\f0.bmd",
            # The walk from the root "Data\\" names its folders with a second
            # separator, as the scan always has.
            "Skipped directory link during scan: %s\\Data\\\\Mnt" % full,
            "Skipped directory link during scan: %s\\Data\\\\Tmp" % full,
            "EXTRA: Data\\Unlisted.bmd",
            "OK count: 1",
            "extra count: 2",  # and the diagnostics marker
            "blocked count: 2",
        ]:
            self.assertLogHas(lines, expected)
        self.assertFalse(any("OnTmpfs" in l or "f1.bmd" in l for l in lines), lines)

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


WORK_FOLDERS = ("_update_tmp", "_full_tmp", "_full_extract", "_backup_update",
                "_quarantine_update")


class FullDiskTest(MountCase):
    """A client alone on a small tmpfs, filled so that in turn each step that
    writes runs out of space: the run fails (exit 5) without losing anything,
    leaves nothing outside its work folders, and a rerun with room converges."""

    def client_on_disk(self):
        client = self.client()
        disk = client.outside("Disk")
        self.mount(disk, size="16m")
        moved = os.path.join(disk, "Client_Dir")
        shutil.copytree(client.path, moved, symlinks=True)
        shutil.rmtree(client.path)
        client.path = moved
        client.enable_diagnostics()
        return client, disk

    def apply(self, client, files, free, refusal, room=None):
        """A full-client apply of `files`; with `room`, `free` is that much
        beyond the package and its extraction."""
        files = dict(files, **{"Main.exe": read(client, "Main.exe"), "fake_game.cfg": GAME_CFG})
        data = make_zip(files)
        path = "mounts/%s.zip" % os.path.basename(client.root)
        self.release.put(path, data)
        if room is not None:
            free = len(data) + sum(len(v) for v in files.values()) + room
        args = harness.updater_args(client, mode="full-client-apply",
                                    extra=package_args(self.release.url(path), data) +
                                    ["--quarantine-extras"])
        return args, free, files, refusal

    # Each stage writes the client's old files and returns the run's arguments,
    # the free space to leave, the files the rerun must bring and the refusal.

    def staging_download(self, client, big):
        client.write("Data/Item/Big.bmd", b"old big")
        r = self.release
        url = r.manifest("disk.json", [r.entry("Data/Item/Big.bmd", big)])
        args = harness.updater_args(client, extra=["--manifest-url", url])
        return args, 1 << 20, {"Data/Item/Big.bmd": big}, "Failed writing temp file. error="

    def package_download(self, client, big):
        client.write("Data/Big.bmd", b"old big")
        return self.apply(client, {"Data/Big.bmd": big}, 1 << 20,
                          "Full client ZIP download failed. No client files were touched.")

    def extraction(self, client, _):
        return self.apply(client, {"Data/Zeros.bmd": bytes(3 << 20)}, 2 << 20,
                          "ZIP declared size exceeds free disk space.")

    def backup_copy(self, client, big):
        # The package and its extraction fit; the backup of the old Big.bmd does not.
        client.write("Data/A.bmd", b"old a")
        client.write("Data/Big.bmd", big)
        return self.apply(client, {"Data/A.bmd": b"new a", "Data/Big.bmd": b"new big"}, None,
                          "APPLY FAILED backup copy: Data\\Big.bmd", room=1 << 20)

    def rollback(self, client, big):
        # B's copy does not fit once A is in place: A's old bytes must still
        # come back on the full disk. A tmpfs lists the newest entry first, so
        # A, extracted last, is applied first.
        mib = 1 << 20
        client.write("Data/A.bmd", big[:mib])
        client.write("Data/B.bmd", big[mib:mib + mib // 2])
        return self.apply(client, {"Data/B.bmd": big[-mib:], "Data/A.bmd": bytes(mib // 4)},
                          None, "APPLY FAILED copy: Data\\B.bmd", room=mib + mib // 2)

    def out_of_space(self, stage, big):
        """One run with the disk filled up to `free` bytes, then one with room."""
        client, disk = self.client_on_disk()
        args, free, target, refusal = stage(client, big)
        before = snapshot(client, skip=("Logs",))
        st = os.statvfs(disk)
        filler = os.path.join(disk, "filler.bin")
        with open(filler, "wb") as f:
            f.write(bytes(st.f_bavail * st.f_frsize - free))
        full = harness.run_updater(args)
        after = snapshot(client, skip=("Logs",))
        lines = client.log_lines() + client.log_lines("FullClientApply.log")
        os.remove(filler)
        again = harness.run_updater(args)
        return client, full, before, after, lines, refusal, again, target

    def test_each_step_out_of_space_fails_cleanly_and_a_rerun_converges(self):
        big = os.urandom(2 << 20)
        stages = (self.staging_download, self.package_download, self.extraction,
                  self.backup_copy, self.rollback)
        outcomes = harness.run_parallel(
            {stage.__name__: (lambda stage=stage: self.out_of_space(stage, big))
             for stage in stages})
        for name, outcome in sorted(outcomes.items()):
            with self.subTest(name):
                if isinstance(outcome, BaseException):
                    raise outcome
                client, full, before, after, lines, refusal, again, target = outcome
                self.assertEqual(full.code, 5, full)
                self.assertEqual({k: after.get(k) for k in before}, before, "nothing is lost")
                self.assertEqual([k for k in after if k not in before and
                                  k.split(os.sep)[0] not in WORK_FOLDERS], [])
                self.assertTrue(any(l.startswith(refusal) for l in lines), (refusal, lines))
                if name == "extraction":
                    self.assertEqual([k for k in after if k.startswith("_full_extract" + os.sep)
                                      and not k.endswith(os.sep)], [], "refused before writing")
                self.assertEqual(again.code, 0, again)
                for rel, data in target.items():
                    self.assertEqual(read(client, rel), data, rel)
                self.assertEqual([w for w in WORK_FOLDERS if client.exists(w)], [])
