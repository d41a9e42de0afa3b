"""An update and a full-client apply against a web server nobody here wrote:
Debian's nginx on 127.0.0.1 (tests/e2e/nginx.py), over http and over https
with a CA made for this run, and a cut package resumed from it. The run
trusts that CA only while a case needs it: the native build through
RIVERORAVAV_CA_FILE, the Windows build through the current user's root store
of the Wine prefix (rr_trust_ca)."""
import contextlib
import os
import shutil
import tempfile
import unittest

import harness
import nginx
from e2e_common import E2eCase
from release import Release, http_fixture
from test_full_client import GAME_CFG, make_zip, package_args, read, run

SCHEMES = (("http", False), ("https", True))


class Served(Release):
    """A release under a folder of nginx's document root."""

    def __init__(self, web, tag, https):
        self.root = os.path.join(web.root, tag)
        self.base = web.url(tag + "/", https)

    def url(self, path):
        return self.base + path.lstrip("/")


class NginxTest(E2eCase):

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="RrNginxRoot_")
        try:
            cls.web = nginx.Nginx(cls.root)
        except nginx.Unavailable as e:
            shutil.rmtree(cls.root, ignore_errors=True)
            raise unittest.SkipTest("nginx cannot serve here: %s" % e)

    @classmethod
    def tearDownClass(cls):
        cls.web.stop()
        shutil.rmtree(cls.root, ignore_errors=True)

    @contextlib.contextmanager
    def trusted(self):
        """The test CA is trusted by the product's runs inside the block."""
        if not harness.under_wine():
            os.environ["RIVERORAVAV_CA_FILE"] = self.web.ca_pem
            try:
                yield
            finally:
                del os.environ["RIVERORAVAV_CA_FILE"]
            return
        helper = harness.trust_helper()
        if helper is None:
            self.skipTest("the Windows build's rr_trust_ca helper was not given (--trust-helper)")
        der = harness.product_path(self.web.ca_der)
        harness.run_tool(helper, ["add", der])
        try:
            yield
        finally:
            harness.run_tool(helper, ["remove", der])

    def served(self, tag, https):
        return Served(self.web, tag, https)

    def requests(self, path):
        """(scheme, status, range, body bytes) of nginx's answers for `path`."""
        return [(scheme, status, rng, sent) for scheme, _, p, status, rng, sent in
                self.web.access_log() if p == path]

    def test_update(self):
        for scheme, https in SCHEMES:
            with self.subTest(scheme):
                client = self.client()
                client.enable_diagnostics()
                r = self.served("update_" + scheme, https)
                big = os.urandom(300 * 1024)
                client.write("Data/Item/A.bmd", b"old a")
                url = r.manifest("m.json", [r.entry("Data/Item/A.bmd", big),
                                            r.entry("Data/Item/B.bmd", b"new b")])
                args = harness.updater_args(client, extra=["--manifest-url", url])
                if https:
                    # Verification is on: a CA nobody trusts is refused, not retried.
                    refused = harness.run_updater(args)
                    self.assertEqual(refused.code, 5, refused)
                    lines = client.log_lines()
                    self.assertTrue(any(l.startswith("InternetOpenUrlW failed. error=") and
                                        l.endswith(" url=" + url) for l in lines), lines)
                    self.assertLogLacksPrefix(lines, "Retrying ")
                    self.assertEqual(read(client, "Data/Item/A.bmd"), b"old a")
                with self.trusted():
                    result = harness.run_updater(args)
                self.assertEqual(result.code, 0, result)
                self.assertEqual(read(client, "Data/Item/A.bmd"), big)
                self.assertEqual(read(client, "Data/Item/B.bmd"), b"new b")
                self.assertLogHas(client.log_lines(),
                                  "RiveRoravav V2-C4.3 Main/Data update finished successfully")
                self.assertIn((scheme, 200, "", len(big)),
                              self.requests("/update_%s/files/Data/Item/A.bmd" % scheme))

    def test_full_client_apply(self):
        for scheme, https in SCHEMES:
            with self.subTest(scheme):
                client = self.client()
                client.enable_diagnostics()
                r = self.served("apply_" + scheme, https)
                client.write("Data/A.bmd", b"old a")
                files = {"Main.exe": read(client, "Main.exe") + b"\0package build\0",
                         "fake_game.cfg": GAME_CFG, "Data/A.bmd": b"new a",
                         "Data/B/New.bmd": os.urandom(200 * 1024)}
                data = make_zip(files)
                r.put("pkg.zip", data)
                with self.trusted():
                    result = run(client, "full-client-apply", package_args(r.url("pkg.zip"), data))
                self.assertEqual(result.code, 0, result)
                for rel, content in files.items():
                    self.assertEqual(read(client, rel), content, rel)
                self.assertLogHas(client.log_lines(),
                                  "RiveRoravav full-client-apply mode finished")
                self.assertEqual(self.requests("/apply_%s/pkg.zip" % scheme),
                                 [(scheme, 200, "", len(data))])

    def test_partial_package_is_resumed(self):
        """A package cut short is completed by nginx from where it stopped:
        nginx's own ETag, If-Range and Content-Range. The cut comes from the
        test fixture serving the same file (nginx never cuts a body)."""
        client = self.client()
        client.enable_diagnostics()
        r = self.served("resume", https=False)
        files = {"Main.exe": read(client, "Main.exe"), "fake_game.cfg": GAME_CFG,
                 "Data/Big.bmd": os.urandom(1 << 20)}
        data = make_zip(files)
        r.put("pkg.zip", data)
        cut = len(data) // 2 + 1
        fixture, port = http_fixture.start_server(self.web.root, routes={"/resume/pkg.zip": {
            "file": "resume/pkg.zip", "send": cut, "times": 1, "then": {"status": 404}}})
        self.addCleanup(fixture.stop)
        first = run(client, "full-client",
                    package_args("http://127.0.0.1:%d/resume/pkg.zip" % port, data))
        self.assertEqual(first.code, 5, first)
        self.assertEqual(read(client, "_full_tmp/pkg.zip"), data[:cut], "kept for a resume")

        second = run(client, "full-client-apply", package_args(r.url("pkg.zip"), data))
        self.assertEqual(second.code, 0, second)
        self.assertLogHas(client.log_lines(), "Resuming full client download at %d of %d bytes."
                          % (cut, len(data)))
        self.assertEqual(self.requests("/resume/pkg.zip"),
                         [("http", 206, "bytes=%d-" % cut, len(data) - cut)])
        self.assertEqual(read(client, "_full_tmp/pkg.zip"), data)
        for rel, content in files.items():
            self.assertEqual(read(client, rel), content, rel)
