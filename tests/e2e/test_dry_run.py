"""The repair-dry-run mode end to end: a full manifest served on 127.0.0.1 and
a real client folder that the run must leave exactly as it was."""
import os

import harness
from e2e_common import E2eCase
from release import Release, sha256, snapshot


class DryRunTest(E2eCase):
    def setUp(self):
        super().setUp()
        self.release = Release()
        self.addCleanup(self.release.close)

    def dry_run(self, client, url=None, fallback=None):
        extra = []
        if url is not None:
            extra += ["--full-manifest-url", url]
        if fallback is not None:
            extra += ["--fallback-full-manifest-url", fallback]
        return harness.run_updater(harness.updater_args(client, mode="repair-dry-run", extra=extra))

    @staticmethod
    def entry(path, data, digest=None):
        return {"path": path, "url": "files/" + path, "size": len(data),
                "sha256": digest if digest is not None else sha256(data)}

    def test_report_lines_counts_and_nothing_changes(self):
        client = self.client()
        client.enable_diagnostics()
        client.write("Data/Ok.bmd", b"ok")
        # Letter case differs only where the file system ignores it (Windows).
        if harness.under_wine():
            client.write("Data/lang/TEXT.bmd", b"text")
        else:
            client.write("Data/Lang/Text.bmd", b"text")
        client.write("Data/Diff.bmd", b"changed")
        client.write("Data/Extra.bmd", b"extra")
        client.write("Data/Short.bmd", b"short")
        client.write("Data/x.dll", b"dll")
        client.write("Data/Local/config.ini", b"cfg")
        client.write("Data/y.log", b"log")
        client.write("Data/Keep/Custom.bmd", b"kept by the manifest")
        client.write("Tools/Outside.bmd", b"not a managed root")
        os.makedirs(client.file("Data/Folder.bmd"))
        files = [
            self.entry("Data/Ok.bmd", b"ok", sha256(b"ok").upper()),
            self.entry("Data/Lang/Text.bmd", b"text"),
            self.entry("Data/Diff.bmd", b"original"),
            self.entry("Data/Missing.bmd", b"m"),
            self.entry("Data/Folder.bmd", b"f"),
            self.entry("../Escape.bmd", b"e"),
            self.entry("Data/Short.bmd", b"short", sha256(b"short")[:63]),
        ]
        url = self.release.manifest("full.json", files, version="9.9",
                                    preserve=["Data/Keep/"])
        before = snapshot(client, skip=("Logs",))
        result = self.dry_run(client, url)
        self.assertEqual(result.code, 0, result)
        self.assertEqual(snapshot(client, skip=("Logs",)), before)
        self.assertRelaunchedFrom(client)

        lines = client.log_lines("RepairDryRun.log")
        for expected in [
            "RiveRoravav repair dry-run started",
            "Full manifest used: " + url,
            "Full manifest version: 9.9",
            "Total files in full manifest: 7",
            "Preserve rules:",
            " - Data/Keep/",
            "OK: Data\\Ok.bmd",
            "OK: Data\\Lang\\Text.bmd",
            "DIFFERENT: Data\\Diff.bmd",
            "MISSING: Data\\Missing.bmd",
            "MISSING: Data\\Folder.bmd",
            "BLOCKED unsafe manifest path: ../Escape.bmd",
            "blocked traversal segment: ../Escape.bmd",
            "BLOCKED invalid SHA256 for manifest path: Data\\Short.bmd",
            "Managed roots:",
            " - Data\\",
            "EXTRA: Data\\Extra.bmd",
            "EXTRA: Data\\Short.bmd",
            "Repair dry-run summary:",
            "OK count: 2",
            "missing count: 2",
            "different count: 1",
            "extra count: 3",
            "blocked count: 2",
            "Repair dry-run complete. No files were downloaded, replaced, moved, or deleted.",
        ]:
            self.assertLogHas(lines, expected)
        extras = [l for l in lines if l.startswith("EXTRA: ")]
        # The diagnostics marker is no preserved file: the report names it too.
        self.assertEqual(sorted(extras), ["EXTRA: Data\\Extra.bmd",
                                          "EXTRA: Data\\Local\\EnableDiagnostics.txt",
                                          "EXTRA: Data\\Short.bmd"])
        main = client.log_lines()
        self.assertTrue(all(l in main for l in lines), "every report line is in the main log")
        self.assertLogHas(main, "RiveRoravav repair dry-run finished")
        self.assertLogLacksPrefix(main, "backup cleanup")
        self.assertLogLacksPrefix(main, "legacy_cleanup")

    def test_managed_roots_listed_replace_the_default(self):
        client = self.client()
        client.enable_diagnostics()
        client.write("Data/Local/Stray.bmd", b"s")
        client.write("Data/Other/Stray.bmd", b"s")
        client.write("Data/Local/Known.bmd", b"k")
        files = [self.entry("Data/Local/Known.bmd", b"k")]
        url = self.release.manifest("roots.json", files,
                                    managedRoots=["Data\\Local", "data/local/", "Logs", "..\\x"])
        result = self.dry_run(client, url)
        self.assertEqual(result.code, 0, result)
        lines = client.log_lines("RepairDryRun.log")
        self.assertLogHas(lines, "Ignored unmanaged root outside safe repair scope: Logs")
        self.assertLogHas(lines, "Ignored unsafe managedRoot: ..\\x")
        self.assertLogHas(lines, "blocked traversal segment: ..\\x")
        roots = lines[lines.index("Managed roots:") + 1:]
        self.assertEqual([l for l in roots if l.startswith(" - ")], [" - Data\\Local"])
        self.assertEqual(sorted(l for l in lines if l.startswith("EXTRA: ")),
                         ["EXTRA: Data\\Local\\EnableDiagnostics.txt",
                          "EXTRA: Data\\Local\\Stray.bmd"])

    def test_a_manifest_no_source_delivers_fails_with_5(self):
        client = self.client()
        client.enable_diagnostics()
        client.write("Data/a.bmd", b"a")
        before = snapshot(client, skip=("Logs",))
        result = self.dry_run(client, self.release.url("nothing.json"), "not a url")
        self.assertEqual(result.code, 5, result)
        self.assertEqual(snapshot(client, skip=("Logs",)), before)
        lines = client.log_lines("RepairDryRun.log")
        self.assertLogHas(lines, "Failed to download a valid full manifest. No files were touched.")
        main = client.log_lines()
        self.assertLogHas(main, "Skipping invalid manifest URL: not a url")
        self.assertLogHas(main, "Repair dry-run did not complete. Relaunching Main.exe without "
                                "applying changes.")
        self.assertRelaunchedFrom(client)

    def test_link_cycles_do_not_stop_the_scan(self):
        client = self.client()
        client.enable_diagnostics()
        client.write("Data/Real/File.bmd", b"r")
        client.write_outside("Outside/Secret.bmd", b"s")
        outside = client.outside("Outside")
        os.symlink(client.file("Data"), client.file("Data/Real/Loop"))
        os.symlink(outside, client.file("Data/Away"))
        url = self.release.manifest("links.json", [self.entry("Data/Real/File.bmd", b"r")])
        result = self.dry_run(client, url)
        self.assertEqual(result.code, 0, result)
        self.assertLess(result.seconds, 60)
        lines = client.log_lines("RepairDryRun.log")
        self.assertLogHas(lines, "extra count: 1")  # the diagnostics marker
        self.assertFalse(any("Secret.bmd" in l for l in lines))
