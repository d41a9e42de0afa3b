"""A build with the test publisher key (tests/keys) end to end: it accepts a
manifest only with a good detached signature, unexpired, with a sequence not
below the client's record. Signatures are made with the openssl command line
exactly as a publisher without our tool would."""
import os
import subprocess
import unittest

import harness
from e2e_common import E2eCase
from release import Release, snapshot

HERE = os.path.dirname(os.path.abspath(__file__))
KEYS = os.path.join(HERE, "..", "keys")
PUBLISHER_KEY = os.path.join(KEYS, "publisher-test.key.pem")
OTHER_KEY = os.path.join(KEYS, "other-test.key.pem")
RECORD = "Data/Local/ManifestSequence.txt"
FUTURE = "2099-01-01T00:00:00Z"
NOT_LOADED = ("Failed to download a valid manifest from primary and fallback URL. "
              "No files will be touched.")


def sign(path, key=PUBLISHER_KEY):
    subprocess.run(["openssl", "dgst", "-sha256", "-sign", key, "-out", path + ".sig", path],
                   check=True)


@unittest.skipUnless(harness.signed_product(), "no product built with the test publisher key")
class SignedCase(E2eCase):
    def setUp(self):
        super().setUp()
        self.release = Release()
        self.addCleanup(self.release.close)

    def publish(self, name, sequence=5, expires=FUTURE, key=PUBLISHER_KEY, body=b"new sword"):
        """A signed manifest replacing Data/Item/Sword.bmd; returns its URL."""
        entry = self.release.entry("Data/Item/Sword.bmd", body)
        fields = {"sequence": sequence, "expires": expires}
        url = self.release.manifest(name, [entry], **fields)
        if key is not None:
            sign(os.path.join(self.release.root, name), key)
        return url

    def out_of_date_client(self, record=None):
        client = self.client()
        client.enable_diagnostics()
        client.write("Data/Item/Sword.bmd", b"old sword")
        if record is not None:
            client.write(RECORD, record)
        return client

    def run_signed(self, client, url, fallback=None):
        extra = ["--manifest-url", url]
        if fallback:
            extra += ["--fallback-manifest-url", fallback]
        return harness.run_updater(harness.updater_args(client, extra=extra),
                                   product=harness.signed_product())

    def read(self, client, rel):
        with open(client.file(rel), "rb") as f:
            return f.read()


class SignedAcceptTest(SignedCase):

    def test_good_signature_is_accepted_and_raises_the_record(self):
        client = self.out_of_date_client(record=b"4\r\n")
        url = self.publish("manifest.json", sequence=5)
        result = self.run_signed(client, url)
        self.assertEqual(result.code, 0, result)
        self.assertEqual(self.read(client, "Data/Item/Sword.bmd"), b"new sword")
        self.assertEqual(self.read(client, RECORD), b"5\r\n")
        lines = client.log_lines()
        self.assertLogHas(lines, "Manifest signature verified: " + url + ".sig")
        self.assertLogHas(lines, "Manifest sequence=5 expires=" + FUTURE +
                          " highest accepted before=4")

        # The same release again is no rollback: nothing to do, record kept.
        again = self.run_signed(client, url)
        self.assertEqual(again.code, 0, again)
        self.assertLogHas(client.log_lines(), "All files already up to date.")
        self.assertEqual(self.read(client, RECORD), b"5\r\n")

    def test_a_refused_primary_falls_back_to_a_good_source(self):
        client = self.out_of_date_client()
        bad = self.publish("primary.json", key=OTHER_KEY)
        good = self.publish("fallback.json", sequence=9)
        result = self.run_signed(client, bad, fallback=good)
        self.assertEqual(result.code, 0, result)
        lines = client.log_lines()
        self.assertLogHas(lines, "Manifest rejected: signature does not verify with the "
                                 "publisher key: " + bad + ".sig")
        self.assertLogHas(lines, "Manifest source failed, trying fallback")
        self.assertLogHas(lines, "Manifest signature verified: " + good + ".sig")
        self.assertEqual(self.read(client, "Data/Item/Sword.bmd"), b"new sword")
        self.assertEqual(self.read(client, RECORD), b"9\r\n")


class SignedRefusalTest(SignedCase):
    """Each refusal has its own log line, and the client folder (its sequence
    record included) stays exactly as it was."""

    def test_each_refusal_leaves_the_client_untouched(self):
        r = self.release
        cases = {}

        url = self.publish("changed.json")
        path = os.path.join(r.root, "changed.json")
        with open(path, "rb") as f:
            data = bytearray(f.read())
        data[data.index(b'"sequence": 5') + len(b'"sequence": ')] = ord("6")
        with open(path, "wb") as f:
            f.write(bytes(data))
        cases["changed byte"] = (url, "Manifest rejected: signature does not verify with the "
                                      "publisher key: " + url + ".sig", None)

        url = self.publish("other.json", key=OTHER_KEY)
        cases["other key"] = (url, "Manifest rejected: signature does not verify with the "
                                   "publisher key: " + url + ".sig", None)

        url = self.publish("unsigned.json", key=None)
        cases["missing sig"] = (url, "Manifest rejected: signature missing or not "
                                     "downloadable: " + url + ".sig", None)

        url = self.publish("truncated.json")
        sig = os.path.join(r.root, "truncated.json.sig")
        with open(sig, "rb") as f:
            der = f.read()
        with open(sig, "wb") as f:
            f.write(der[:-1])
        cases["truncated sig"] = (url, "Manifest rejected: signature is not a DER ECDSA P-256 "
                                       "signature. bytes=%d url=%s.sig" % (len(der) - 1, url),
                                  None)

        url = self.publish("expired.json", expires="2020-02-29T23:59:59Z")
        cases["expired"] = (url, "Manifest rejected: expired. expires=2020-02-29T23:59:59Z now=",
                            None)

        url = self.publish("older.json", sequence=6)
        cases["lower sequence"] = (url, "Manifest rejected: sequence lower than the highest "
                                        "accepted. sequence=6 highest=7", b"7\r\n")

        url = self.publish("nosequence.json", sequence=None)
        cases["no sequence"] = (url, "Manifest rejected: sequence is missing or not a whole "
                                     "number.", None)

        scenarios = {}
        clients = {}
        for name, (url, _, record) in cases.items():
            client = self.out_of_date_client(record=record if record is not None else b"3\r\n")
            clients[name] = (client, snapshot(client))
            scenarios[name] = (lambda c=client, u=url: self.run_signed(c, u))
        results = harness.run_parallel(scenarios, workers=4)
        for name, (url, expected, _) in cases.items():
            with self.subTest(name):
                result = results[name]
                if isinstance(result, BaseException):
                    raise result
                client, before = clients[name]
                self.assertEqual(result.code, 5, result)
                self.assertEqual(snapshot(client), before)
                lines = client.log_lines()
                if expected.endswith("now="):
                    self.assertTrue(any(l.startswith(expected) for l in lines),
                                    "no line starting %r in:\n%s" % (expected, "\n".join(lines)))
                else:
                    self.assertLogHas(lines, expected)
                self.assertLogHas(lines, "Manifest source failed, no fallback left")
                self.assertLogHas(lines, NOT_LOADED)
                if name in ("expired", "lower sequence", "no sequence"):
                    self.assertLogHas(lines, "Manifest signature verified: " + url + ".sig")
                else:
                    self.assertLogLacksPrefix(lines, "Manifest signature verified: ")
                self.assertLogLacksPrefix(lines, "Downloading file: ")
