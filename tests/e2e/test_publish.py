"""riveroravav-publish end to end: a release folder published, served on
127.0.0.1 and applied by the real updater; and every refusal of a release
folder the updater could not reproduce."""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

import harness
from e2e_common import E2eCase
from release import snapshot

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "server"))
import http_fixture  # noqa: E402

PUBLISHER_KEY = os.path.join(HERE, "..", "keys", "publisher-test.key.pem")
RECORD = "Data/Local/ManifestSequence.txt"


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def write(root, rel, data, mode=None):
    path = os.path.join(root, *rel.split("/"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    if mode is not None:
        os.chmod(path, mode)
    return path


def tree(root):
    """Relative path ('/' separators) -> bytes of every file below root."""
    out = {}
    for base, _, names in os.walk(root):
        for name in names:
            path = os.path.join(base, name)
            with open(path, "rb") as f:
                out[os.path.relpath(path, root).replace(os.sep, "/")] = f.read()
    return out


@unittest.skipUnless(harness.publisher(), "the publisher is built natively only")
class PublishCase(E2eCase):
    def setUp(self):
        super().setUp()
        self.work = tempfile.mkdtemp(prefix="RrPublish_")
        self.addCleanup(shutil.rmtree, self.work, True)

    def publish(self, release, out, *extra, base_url="http://127.0.0.1:1/rel/"):
        return subprocess.run([harness.publisher(), "--release", release, "--out", out,
                               "--version", "7.2.0", "--base-url", base_url] + list(extra),
                              capture_output=True, text=True, timeout=120)

    def serve(self, root):
        server, port = http_fixture.start_server(root, max_lifetime=600)
        self.addCleanup(server.stop)
        return "http://127.0.0.1:%d/" % port


class RoundTripTest(PublishCase):

    def make_release(self):
        with open(harness.fake_game(), "rb") as f:
            game = f.read()
        release = os.path.join(self.work, "Release")
        files = {
            "Main.exe": game + b"\0release 7.2.0\0",
            "Data/Local/Eng/Text.bmd": b"text table v2" * 100,
            "Data/Local/LauncherLinks.ini": b"[links]\n",
            "Data/Item/Sword.bmd": b"the same sword" * 50,
            "Data/Item/Shield.bmd": b"the same sword" * 50,  # same bytes, stored once
            "Data/Scripts/ai/boss.lua": b"return 2\n",
            "librer\u00eda si no abre el main/vc2010_x86.exe": b"MZ redist",
            "config.ini": b"[video]\nwidth=800\n",
            "Tools/patcher.exe": b"MZ tool",
        }
        for rel, data in files.items():
            write(release, rel, data, mode=0o755 if rel.endswith(".exe") else None)
        return release, files

    def test_published_release_updates_a_client_to_the_release(self):
        release, files = self.make_release()
        left_out = {"config.ini": "blocked-filename:config.ini",
                    "Tools/patcher.exe": "blocked-exe"}
        out = os.path.join(self.work, "out")
        os.makedirs(out)
        base = self.serve(out)
        done = self.publish(release, out, "--managed-root", "Data", "--preserve",
                            "Data/Local/EnableDiagnostics.txt", base_url=base)
        self.assertEqual(done.returncode, 0, done.stderr)
        for rel, reason in left_out.items():
            self.assertIn("not in manifest.json: %s reason=%s" % (rel.replace("/", "\\"), reason),
                          done.stderr.splitlines())

        # The values the game passes to the full-client modes.
        package = os.path.join(out, "Orvella_Client.zip")
        with open(package, "rb") as f:
            package_bytes = f.read()
        self.assertEqual(done.stdout.splitlines(), [
            "--package-url " + base + "Orvella_Client.zip",
            "--package-sha256 " + sha256(package_bytes),
            "--package-size %d" % len(package_bytes),
            "--package-version 7.2.0",
        ])
        with zipfile.ZipFile(package) as z:
            self.assertEqual({i.filename: z.read(i) for i in z.infolist()}, files)
            self.assertEqual({i.date_time for i in z.infolist()}, {(1980, 1, 1, 12, 0, 0)})
        # One stored copy per distinct content, named by its digest.
        stored = {rel for rel in tree(out) if rel.startswith("files/")}
        self.assertEqual(stored, {"files/%s/%s" % (sha256(d)[:2], sha256(d))
                                  for d in files.values()})

        client = self.client()
        client.enable_diagnostics()
        client.write("Data/Local/Eng/Text.bmd", b"text table v1")
        client.write("Data/Item/Sword.bmd", files["Data/Item/Sword.bmd"])
        client.write("Data/Local/LauncherLinks.ini", b"[links]\n")
        client.write("config.ini", b"[video]\nwidth=1920\n")
        before = {k: v for k, v in snapshot(client).items() if not k.endswith(os.sep)}
        result = harness.run_updater(harness.updater_args(
            client, extra=["--manifest-url", base + "manifest.json"]))
        self.assertEqual(result.code, 0, result)

        # Byte for byte the release, except what the update leaves alone by rule.
        expected = dict(before)
        for rel, data in files.items():
            if rel not in left_out:
                expected[os.path.normpath(rel)] = (len(data), sha256(data))
        after = {k: v for k, v in snapshot(client).items() if not k.endswith(os.sep)}
        self.assertEqual(after, expected)
        self.assertTrue(os.access(client.main_exe, os.X_OK))

        # The full manifest drives the repair dry-run of the same client.
        dry = harness.run_updater(harness.updater_args(
            client, mode="repair-dry-run", extra=["--full-manifest-url",
                                                  base + "full-manifest.json"]))
        self.assertEqual(dry.code, 0, dry)
        lines = client.log_lines("RepairDryRun.log")
        for rel in files:
            if rel not in left_out:
                self.assertIn("OK: " + rel.replace("/", "\\"), lines)
        self.assertIn("Managed roots:", lines)
        self.assertIn(" - Data", lines)
        # What the update left alone by rule shows up, the preserved marker does not.
        self.assertIn("DIFFERENT: config.ini", lines)
        self.assertIn("MISSING: Tools\\patcher.exe", lines)
        self.assertIn(" - Data\\Local\\EnableDiagnostics.txt", lines)
        self.assertIn("extra count: 0", lines)

        # The printed package values repair a damaged client with full-client-apply:
        # afterwards every release file is there byte for byte, except the ones the
        # repair keeps by rule, which it names.
        os.remove(client.file("Data/Item/Shield.bmd"))
        client.write("Data/Scripts/ai/boss.lua", b"return 1\n")
        client.write("Data/Item/Junk.bmd", b"not in the release")
        package_args = " ".join(done.stdout.splitlines()).split()
        repair = harness.run_updater(harness.updater_args(
            client, mode="full-client-apply", extra=package_args + ["--quarantine-extras"]))
        self.assertEqual(repair.code, 0, repair)
        lines = client.log_lines("FullClientApply.log")
        kept = {l[len("PRESERVED/APPLY-SKIPPED: "):] for l in lines
                if l.startswith("PRESERVED/APPLY-SKIPPED: ")}
        self.assertIn("config.ini", kept)
        for rel, data in files.items():
            if rel.replace("/", "\\") in kept:
                continue
            with open(client.file(rel), "rb") as f:
                self.assertEqual(f.read(), data, rel)
        with open(client.file("config.ini"), "rb") as f:
            self.assertEqual(f.read(), b"[video]\nwidth=1920\n", "the player's own settings stay")
        self.assertFalse(client.exists("Data/Item/Junk.bmd"))
        for work in ("_full_tmp", "_full_extract", "_backup_update", "_quarantine_update"):
            self.assertFalse(client.exists(work), work)

        # The same inputs give the same bytes.
        again = os.path.join(self.work, "again")
        redo = self.publish(release, again, "--managed-root", "Data", "--preserve",
                            "Data/Local/EnableDiagnostics.txt", base_url=base)
        self.assertEqual(redo.returncode, 0, redo.stderr)
        self.assertEqual(tree(again), tree(out))

    def test_signed_release_is_accepted_by_a_signed_build(self):
        if not harness.signed_product():
            self.skipTest("no product built with the test publisher key")
        release, files = self.make_release()
        out = os.path.join(self.work, "signed")
        os.makedirs(out)
        base = self.serve(out)
        done = self.publish(release, out, "--sign-key", PUBLISHER_KEY, "--sequence", "12",
                            "--expires", "2099-12-31T23:59:59Z", base_url=base)
        self.assertEqual(done.returncode, 0, done.stderr)
        for name in ("manifest.json", "full-manifest.json"):
            check = subprocess.run(
                ["openssl", "dgst", "-sha256", "-verify",
                 os.path.join(HERE, "..", "keys", "publisher-test.pub.pem"), "-signature",
                 os.path.join(out, name + ".sig"), os.path.join(out, name)],
                capture_output=True, text=True)
            self.assertEqual(check.returncode, 0, name + ": " + check.stdout + check.stderr)

        client = self.client()
        client.enable_diagnostics()
        client.write("Data/Item/Sword.bmd", b"old")
        result = harness.run_updater(
            harness.updater_args(client, extra=["--manifest-url", base + "manifest.json"]),
            product=harness.signed_product())
        self.assertEqual(result.code, 0, result)
        with open(client.file("Data/Item/Sword.bmd"), "rb") as f:
            self.assertEqual(f.read(), files["Data/Item/Sword.bmd"])
        with open(client.file(RECORD), "rb") as f:
            self.assertEqual(f.read(), b"12\r\n")

        # The dry-run checks the signed full manifest and its sequence, and
        # (changing nothing) leaves the record as it is.
        before = snapshot(client)
        dry = harness.run_updater(
            harness.updater_args(client, mode="repair-dry-run",
                                 extra=["--full-manifest-url", base + "full-manifest.json"]),
            product=harness.signed_product())
        self.assertEqual(dry.code, 0, dry)
        self.assertIn("Manifest signature verified: " + base + "full-manifest.json.sig",
                      client.log_lines())
        self.assertIn("OK: Data\\Item\\Sword.bmd", client.log_lines("RepairDryRun.log"))
        self.assertEqual(snapshot(client), before)

        # Signing without the members a signed build demands is refused.
        refused = self.publish(release, os.path.join(self.work, "nosequence"), "--sign-key",
                               PUBLISHER_KEY, base_url=base)
        self.assertEqual(refused.returncode, 2)
        self.assertIn("--sign-key needs --sequence and --expires", refused.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.work, "nosequence")))


class RefusalTest(PublishCase):
    """A release folder the updater could not reproduce is refused before
    anything is written."""

    def test_each_refusal_names_its_cause_and_writes_nothing(self):
        outside = write(self.work, "outside/secret.bmd", b"not part of the release")

        def link_to_file(root):
            os.symlink(outside, os.path.join(root, "Data", "Item", "Link.bmd"))

        def link_to_folder(root):
            os.symlink(os.path.dirname(outside), os.path.join(root, "Data", "World1"))

        cases = {
            "file link": (link_to_file, "refused: link: Data\\Item\\Link.bmd"),
            "folder link": (link_to_folder, "refused: link: Data\\World1"),
            "trailing dot": (lambda r: write(r, "Data/Item/Axe.bmd.", b"x"),
                             "refused: unsafe name (blocked trailing dot or space): "
                             "Data\\Item\\Axe.bmd."),
            "device name": (lambda r: write(r, "Data/Item/con.bmd", b"x"),
                            "refused: unsafe name (blocked device name): Data\\Item\\con.bmd"),
            "colon": (lambda r: write(r, "Data/Item/a:b.bmd", b"x"),
                      "refused: unsafe name (blocked invalid path character): "
                      "Data\\Item\\a:b.bmd"),
            "backslash": (lambda r: write(r, "Data/Item/a\\b.bmd", b"x"),
                          "refused: unsafe name (not a name the updater can write): "
                          "Data/Item/a\\b.bmd"),
            "case clash": (lambda r: write(r, "Data/Item/SWORD.bmd", b"x"),
                           "refused: paths equal after case folding: Data\\Item\\SWORD.bmd "
                           "and Data\\Item\\Sword.bmd"),
            "folder case clash": (lambda r: write(r, "data/Other.bmd", b"x"),
                                  "refused: paths equal after case folding: Data and data"),
        }
        for name, (spoil, expected) in cases.items():
            with self.subTest(name):
                release = os.path.join(self.work, name.replace(" ", "_"))
                write(release, "Main.exe", b"MZ")
                write(release, "Data/Item/Sword.bmd", b"sword")
                spoil(release)
                out = os.path.join(self.work, name.replace(" ", "_") + "_out")
                done = self.publish(release, out)
                self.assertEqual(done.returncode, 1, done.stderr)
                lines = done.stderr.splitlines()
                self.assertIn(expected, lines)
                self.assertIn("riveroravav-publish: the release folder was refused; nothing "
                              "was written", lines)
                self.assertEqual(done.stdout, "")
                self.assertFalse(os.path.lexists(out))

        # An output folder that already holds something is refused and kept.
        release = os.path.join(self.work, "good")
        write(release, "Main.exe", b"MZ")
        out = os.path.join(self.work, "used")
        write(out, "old/manifest.json", b"{}")
        done = self.publish(release, out)
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertIn("the output folder is not empty", done.stderr)
        self.assertEqual(tree(out), {"old/manifest.json": b"{}"})
