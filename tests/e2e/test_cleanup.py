"""The cleanup-repair-artifacts mode against real folders, files and links."""
import os
import stat

import harness
from e2e_common import E2eCase, expected_client_dir

TARGETS = ("_full_tmp", "_full_extract", "_backup_update", "_quarantine_update")
KEEP = ("Data/Client.dat", "Data/Local/Settings.dat", "_update_tmp/pending.tmp", "config.ini",
        "ScreenShots/Shot 1.png", "LauncherLinks.ini")


def summary(lines):
    out = {}
    for line in lines:
        for key in ("cleanup target count", "deleted folders", "deleted files", "skipped",
                    "failed", "blocked"):
            if line.startswith(" %s: " % key):
                out[key] = int(line.split(": ", 1)[1])
    return out


class CleanupModeTest(E2eCase):

    def run_cleanup(self, client, mode="cleanup-repair-artifacts"):
        result = harness.run_updater(harness.updater_args(client, mode=mode))
        self.assertEqual(result.code, 0, "the cleanup mode always completes: %r" % (result,))
        self.assertEqual(result.dialogs, [])
        self.assertRelaunchedFrom(client)
        return client.log_lines("RepairCleanup.log")

    def full_path(self, client, name):
        return expected_client_dir(client) + "\\" + name

    def test_deletes_the_four_targets_and_nothing_else(self):
        client = self.client()
        client.enable_diagnostics()
        client.write("_full_tmp/Orvella_Client.zip", b"PK")
        client.write("_full_extract/Client/Data/Deep/Model.bmd", b"m", mode=stat.S_IRUSR)
        client.write("_full_extract/Client/Main.exe", b"exe", mode=stat.S_IRUSR)
        client.write("_full_extract/Client/.hidden", b"h")
        os.makedirs(client.file("_full_extract/Client/Empty"))
        client.write("_backup_update/Data/Old.dat", b"old")
        client.write("_quarantine_update/Extra/Stray.txt", b"s")
        for keep in KEEP:
            client.write(keep, keep)

        lines = self.run_cleanup(client)
        for target in TARGETS:
            self.assertFalse(client.exists(target), target)
            self.assertIn("CLEAN target: " + self.full_path(client, target), lines)
        for keep in KEEP:
            with open(client.file(keep), "rb") as f:
                self.assertEqual(f.read(), keep.encode(), keep)
        self.assertEqual(summary(lines), {
            "cleanup target count": 4, "deleted folders": 10, "deleted files": 6,
            "skipped": 0, "failed": 0, "blocked": 0})
        # Every line of the cleanup also went to the main log.
        main = client.log_lines()
        self.assertTrue(all(l in main for l in lines))
        self.assertEqual(main[-1], "RiveRoravav repair cleanup finished")

    def test_no_work_folders_is_four_skips(self):
        client = self.client()
        client.enable_diagnostics()
        lines = self.run_cleanup(client, mode="CLEANUP-REPAIR-ARTIFACTS")
        for target in TARGETS:
            self.assertIn("SKIP missing cleanup target: " + target, lines)
        self.assertEqual(summary(lines)["skipped"], 4)
        self.assertEqual(summary(lines)["blocked"], 0)

    def test_links_are_refused_counted_and_their_destinations_untouched(self):
        client = self.client()
        client.enable_diagnostics()
        client.write_outside("Outside_Folder/Secret.txt", b"keep me")
        outside = client.outside("Outside_Folder")
        # A target that is itself a link.
        os.symlink(outside, client.file("_backup_update"))
        # Links inside a target: to a folder and to a file.
        client.write("_full_extract/Real.txt", b"r")
        os.symlink(outside, client.file("_full_extract/Dir_Link"))
        # Wine 8 shows a Unix link to a file as a plain file (attributes 0x20,
        # no reparse tag) and deletes through it; Windows has no such link, its
        # file links are reparse points. So that case runs natively only.
        file_link = not harness.under_wine()
        if file_link:
            os.symlink(os.path.join(outside, "Secret.txt"), client.file("_full_extract/File_Link"))
        # A target that is a file.
        client.write("_full_tmp", b"not a folder")
        client.write("_quarantine_update/Sub/Moved.txt", b"q")

        lines = self.run_cleanup(client)
        self.assertIn("BLOCKED cleanup target is a reparse point: " +
                      self.full_path(client, "_backup_update"), lines)
        self.assertIn("BLOCKED cleanup target is not a directory: " +
                      self.full_path(client, "_full_tmp"), lines)
        extract = self.full_path(client, "_full_extract")
        self.assertIn("BLOCKED child reparse point: " + extract + "\\Dir_Link", lines)
        if file_link:
            self.assertIn("BLOCKED child reparse point: " + extract + "\\File_Link", lines)
        self.assertIn("FAILED remove directory: " + extract + " error=145", lines)
        self.assertEqual(summary(lines), {
            "cleanup target count": 4, "deleted folders": 2, "deleted files": 2,
            "skipped": 0, "failed": 1, "blocked": 4 if file_link else 3})

        self.assertTrue(os.path.islink(client.file("_backup_update")))
        self.assertTrue(os.path.islink(client.file("_full_extract/Dir_Link")))
        if file_link:
            self.assertTrue(os.path.islink(client.file("_full_extract/File_Link")))
        self.assertFalse(client.exists("_full_extract/Real.txt"))
        self.assertFalse(client.exists("_quarantine_update"))
        self.assertTrue(os.path.isfile(client.file("_full_tmp")))
        self.assertEqual(os.listdir(outside), ["Secret.txt"])
        with open(os.path.join(outside, "Secret.txt")) as f:
            self.assertEqual(f.read(), "keep me")

    def test_warnings_do_not_keep_logs_without_the_marker(self):
        client = self.client()
        os.symlink(client.root, client.file("_backup_update"))
        self.run_cleanup(client)
        self.assertEqual(client.log_files(), [])
        self.assertTrue(os.path.islink(client.file("_backup_update")))
