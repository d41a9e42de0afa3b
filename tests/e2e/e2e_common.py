"""Expectations shared by the end-to-end test modules."""
import ntpath
import os
import unittest

import harness

STARTUP_KEYS = (
    "client-dir=", "main-exe=", "main-pid=", "manifest-url=", "fallback-manifest-url=",
    "full-manifest-url=", "fallback-full-manifest-url=", "package-url=", "package-sha256=",
    "package-size=", "package-version=", "quarantine-extras=", "mode=", "expected-main-path=",
)
STARTUP_SENTENCE = (
    "V2-C4.3 broad runtime update mode. Main.exe is the only allowed .exe; tools, secrets, "
    "build/temp folders, DLLs, and unsafe paths remain blocked.")
SKIP_INSTANCE_CHECK = (
    "Skipping other same-client Main.exe close check because this mode does not apply files.")
BOX_PARENT = "Cierre todas las instancias del juego para continuar."
BOX_OTHER = ("Hay otra instancia del cliente abierta. Cerrala para continuar la "
             "actualizaci\u00f3n.")
BOX_RELAUNCH = "No se pudo relanzar Main.exe."
ABORTED_OTHER = ("Aborted before applying files because another same-client Main.exe "
                 "instance remained open.")


def expected_client_dir(client):
    """The normalized client directory the product logs and works with."""
    if harness.under_wine():
        return client.product_dir.lower()  # Windows folds the whole path
    return client.path.replace("/", "\\")  # POSIX keeps the letter case


def expected_main_path(client):
    return expected_client_dir(client) + ("\\main.exe" if harness.under_wine() else "\\Main.exe")


def same_path(a, b):
    return ntpath.normcase(a.replace("/", "\\")) == ntpath.normcase(b.replace("/", "\\"))


class E2eCase(unittest.TestCase):
    """Creates client folders that are removed (games stopped) after the test."""

    def setUp(self):
        self._clients = []

    def tearDown(self):
        for client in self._clients:
            client.cleanup()

    def client(self, **kwargs):
        client = harness.ClientFolder(**kwargs)
        self._clients.append(client)
        return client

    def outcome(self, name):
        """The result of scenario `name` that the class ran in parallel into
        `outcomes` (harness.run_parallel); its failure is raised here."""
        outcome = self.outcomes[name]
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome

    def assertLogHas(self, lines, expected):
        self.assertIn(expected, lines, "missing log line %r in:\n%s" % (expected, "\n".join(lines)))

    def assertLogLacksPrefix(self, lines, prefix):
        bad = [l for l in lines if l.startswith(prefix)]
        self.assertEqual(bad, [], "unexpected log lines starting with %r" % prefix)

    def assertRelaunchedFrom(self, client, count=1):
        """`count` starts of the game, the last one in the client directory."""
        self.assertTrue(client.wait_for_starts(count, timeout=15), "game was not relaunched")
        starts = client.started()
        self.assertEqual(len(starts), count, starts)
        cwd = starts[-1][1]
        if harness.under_wine():
            self.assertTrue(same_path(cwd, client.product_dir), cwd)
        else:
            self.assertEqual(os.path.realpath(cwd), os.path.realpath(client.path))
