"""Folder chains thousands of levels deep: the compare, the apply with its
quarantine and empty-folder removal, and the cleanup go all the way down,
delete what they should completely, and keep their logs short.

RR_DEEP_LEVELS sets the depth (default 2000; the benchmark takes 5000).
Under Wine the default is 60: Wine's GetFinalPathNameByHandleW, which the
Win32 layer's identity check of every opened entry relies on, fails past
about 260 characters, so deeper folders are refused there (safely: as
unreadable) where Windows goes on.
"""
import os
import subprocess

import harness
from e2e_common import E2eCase
from release import Release, sha256
from test_full_client import GAME_CFG, make_zip, read

LEVELS = int(os.environ.get("RR_DEEP_LEVELS", "60" if harness.under_wine() else "2000"))


def make_chain(base, levels, file_per_level=None, leaf=None):
    """base/d/d/.../d, `levels` deep, built relative to each parent's
    descriptor: the full path is far longer than the system allows."""
    os.makedirs(base, exist_ok=True)
    fd = os.open(base, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for _ in range(levels):
            os.mkdir("d", dir_fd=fd)
            child = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = child
            if file_per_level:
                with open(os.open(file_per_level, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd),
                          "wb") as f:
                    f.write(b"level")
        if leaf:
            leaf(fd)
    finally:
        os.close(fd)


class DeepTreeTest(E2eCase):

    def setUp(self):
        super().setUp()
        self.release = Release()

    def tearDown(self):
        # A chain left by a failing run is deeper than Python's own walks go.
        for client in self._clients:
            subprocess.run(["rm", "-rf", client.path], check=False)
        super().tearDown()
        self.release.close()

    def test_apply_quarantines_a_deep_extra_and_removes_the_whole_empty_chain(self):
        client = self.client()
        client.enable_diagnostics()

        def leaf(fd):
            with open(os.open("x.bmd", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd), "wb") as f:
                f.write(b"deep extra")

        make_chain(client.file("Data/deep"), LEVELS, leaf=leaf)
        files = {"Main.exe": read(client, "Main.exe"), "fake_game.cfg": GAME_CFG,
                 "Data/A.bmd": b"a"}
        data = make_zip(files)
        self.release.put("deep/pkg.zip", data)
        args = ["--package-url", self.release.url("/deep/pkg.zip"), "--package-sha256",
                sha256(data), "--package-size", str(len(data)), "--quarantine-extras"]
        result = harness.run_updater(harness.updater_args(client, mode="full-client-apply",
                                                          extra=args), timeout=300)
        self.assertEqual(result.code, 0, result)
        self.assertEqual(read(client, "Data/A.bmd"), b"a")
        self.assertFalse(client.exists("Data/deep"), "every empty extra folder is removed")
        for work in ("_full_tmp", "_full_extract", "_backup_update", "_quarantine_update"):
            self.assertFalse(client.exists(work), work)
        lines = client.log_lines("FullClientApply.log")
        deep = "Data\\deep" + "\\d" * LEVELS + "\\x.bmd"
        self.assertLogHas(lines, "EXTRA: " + deep)
        self.assertTrue(any(l.startswith("QUARANTINED: " + deep + " -> ") for l in lines))
        removed = [l for l in lines if l.startswith("EXTRA_DIR removed empty: ")]
        self.assertEqual(len(removed), LEVELS + 1)
        self.assertRelaunchedFrom(client)

    def test_cleanup_deletes_a_deep_chain_and_logs_a_blocked_one_briefly(self):
        client = self.client()
        client.enable_diagnostics()
        os.makedirs(client.outside("Outside"))
        client.write_outside("Outside/keep.txt", b"outside")

        def link(fd):
            os.symlink(client.outside("Outside"), "out", dir_fd=fd)

        make_chain(client.file("_full_extract/open"), LEVELS, file_per_level="f")
        make_chain(client.file("_backup_update/linked"), LEVELS, file_per_level="f", leaf=link)

        result = harness.run_updater(
            harness.updater_args(client, mode="cleanup-repair-artifacts"), timeout=300)
        self.assertEqual(result.code, 0, result)
        self.assertFalse(client.exists("_full_extract"), "a deep chain is deleted completely")
        with open(client.outside("Outside/keep.txt"), "rb") as f:
            self.assertEqual(f.read(), b"outside")
        lines = client.log_lines("RepairCleanup.log")
        self.assertLogHas(lines, " deleted files: %d" % (2 * LEVELS))
        # The link blocks every folder above it: all counted, few shown.
        self.assertLogHas(lines, " blocked: 1")
        self.assertLogHas(lines, " failed: %d" % (LEVELS + 2))
        shown = [l for l in lines if l.startswith(("FAILED ", "BLOCKED child"))]
        self.assertLessEqual(len(shown), 21, "\n".join(shown[:30]))
        hidden = "FAILED or BLOCKED entries not logged: %d below " % (LEVELS + 3 - 20)
        self.assertTrue(any(l.startswith(hidden) and l.endswith("_backup_update") for l in lines),
                        "\n".join(lines[-12:]))
        self.assertRelaunchedFrom(client)
