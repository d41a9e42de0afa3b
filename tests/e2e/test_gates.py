"""The game gates: the parent game and other instances of the same client.

Each scenario waits up to 15 + 10 s in the product, so they all run at once
in setUpClass and the tests only read their outcomes.
"""
import re
import unittest

import harness
from e2e_common import (ABORTED_OTHER, BOX_OTHER, BOX_PARENT, SKIP_INSTANCE_CHECK, E2eCase,
                        expected_main_path, same_path)

LONG = "90000"  # games started by a test live long enough to outlast every wait


def _parent_closes_on_request():
    client = harness.ClientFolder()
    client.enable_diagnostics()
    game = client.start_game("--exit-after-ms", LONG)
    result = harness.run_updater(harness.updater_args(client, mode="cleanup-repair-artifacts",
                                                      main_pid=game.pid))
    return client, result, {"parent": game}


def _parent_ignores_close(*game_args):
    def scenario():
        client = harness.ClientFolder()
        game = client.start_game("--ignore-close", "--exit-after-ms", LONG, *game_args)
        result = harness.run_updater(harness.updater_args(client, mode="update", main_pid=game.pid))
        return client, result, {"parent": game, "alive_after": game.running()}
    return scenario


def _other_instances(mode, with_closing_one=False):
    def scenario():
        client = harness.ClientFolder()
        client.enable_diagnostics()
        games = {"stubborn": client.start_game("--ignore-close", "--exit-after-ms", LONG)}
        if with_closing_one:
            games["polite"] = client.start_game("--exit-after-ms", LONG)
        result = harness.run_updater(harness.updater_args(client, mode=mode))
        games["alive_after"] = games["stubborn"].running()
        return client, result, games
    return scenario


SCENARIOS = {
    "parent_closes_on_request": _parent_closes_on_request,
    "parent_ignores_close": _parent_ignores_close(),
    "others_update": _other_instances("update", with_closing_one=True),
    "others_full_client_apply": _other_instances("Full-Client-Apply"),
    "others_cleanup": _other_instances("cleanup-repair-artifacts"),
    "others_full_client": _other_instances("full-client"),
}
if harness.under_wine():
    # Only a window can receive WM_CLOSE; a process without one gets none.
    SCENARIOS["parent_without_window"] = _parent_ignores_close("--no-window")


class GameGatesTest(E2eCase):

    def assertWindowsLine(self, lines, prefix):
        """The close request reached the game: on POSIX the one signal; on Windows
        at least its window (Wine, like Windows, also counts the hidden IME
        window of the thread)."""
        counts = [int(m.group(1)) for m in (re.fullmatch(re.escape(prefix) + r" windows=(\d+)", l)
                                            for l in lines) if m]
        self.assertEqual(len(counts), 1, "no single %r line in %r" % (prefix, lines))
        if harness.under_wine():
            self.assertGreaterEqual(counts[0], 1)
        else:
            self.assertEqual(counts[0], 1)

    @classmethod
    def setUpClass(cls):
        cls.outcomes = harness.run_parallel(SCENARIOS)

    @classmethod
    def tearDownClass(cls):
        for outcome in cls.outcomes.values():
            if not isinstance(outcome, BaseException):
                outcome[0].cleanup()

    def test_parent_that_closes_on_request_is_asked_once_then_run_goes_on(self):
        client, result, games = self.outcome("parent_closes_on_request")
        pid = games["parent"].pid
        self.assertEqual(result.code, 0, result)
        self.assertGreaterEqual(result.seconds, 14.5, "the first wait lasts 15 s")
        lines = client.log_lines()
        self.assertLogHas(lines, "Waiting for parent Main.exe pid=%d" % pid)
        self.assertWindowsLine(lines, "Sent WM_CLOSE to pid=%d" % pid)
        self.assertLogHas(lines, "Process closed after WM_CLOSE: pid=%d" % pid)
        self.assertLogLacksPrefix(lines, "Process closed: pid=")
        self.assertEqual(client.close_requests(), [pid])
        self.assertEqual(client.exits().get(pid), "close")
        self.assertRelaunchedFrom(client, count=2)

    def test_parent_that_ignores_the_request_stops_the_run_with_exit_2(self):
        client, result, games = self.outcome("parent_ignores_close")
        pid = games["parent"].pid
        self.assertEqual(result.code, 2, result)
        self.assertEqual(result.dialogs, [BOX_PARENT])
        self.assertGreaterEqual(result.seconds, 24.5, "15 s, the request, then 10 s more")
        lines = client.log_lines()  # kept: the run did not complete
        self.assertWindowsLine(lines, "Sent WM_CLOSE to pid=%d" % pid)
        self.assertEqual(lines[-1], "Process still alive; no force kill in this stage: pid=%d" % pid)
        self.assertEqual(client.close_requests(), [pid])
        self.assertTrue(games["alive_after"], "the parent is never killed")
        self.assertEqual(client.started_pids(), [pid], "no relaunch after exit code 2")

    @unittest.skipUnless(harness.under_wine(), "windows exist only in the Windows build")
    def test_parent_without_windows_gets_no_request_and_is_waited_for(self):
        client, result, games = self.outcome("parent_without_window")
        pid = games["parent"].pid
        self.assertEqual(result.code, 2, result)
        self.assertEqual(result.dialogs, [BOX_PARENT])
        lines = client.log_lines()
        self.assertLogHas(lines, "Sent WM_CLOSE to pid=%d windows=0" % pid)
        self.assertLogHas(lines, "Process still alive; no force kill in this stage: pid=%d" % pid)
        self.assertEqual(client.close_requests(), [])

    def test_other_instance_that_stays_stops_an_update_with_exit_3(self):
        client, result, games = self.outcome("others_update")
        stubborn, polite = games["stubborn"].pid, games["polite"].pid
        self.assertEqual(result.code, 3, result)
        self.assertEqual(result.dialogs, [BOX_OTHER])
        lines = client.log_lines()
        for pid in (stubborn, polite):
            found = [l for l in lines if l.startswith(
                "Other same-client Main.exe instance found: pid=%d path=" % pid)]
            self.assertEqual(len(found), 1, lines)
            self.assertTrue(same_path(found[0].split(" path=", 1)[1], expected_main_path(client)))
            self.assertWindowsLine(
                lines, "Other same-client Main.exe close requested with WM_CLOSE: pid=%d" % pid)
        self.assertLogHas(lines, "Other same-client Main.exe closed OK: pid=%d" % polite)
        self.assertTrue(any(l.startswith("Other same-client Main.exe still running / abort: pid=%d "
                                         "path=" % stubborn) for l in lines), lines)
        self.assertEqual(lines[-1], ABORTED_OTHER)
        self.assertLogLacksPrefix(lines, "Mode not available")
        self.assertEqual(sorted(client.close_requests()), sorted([stubborn, polite]))
        self.assertEqual(client.exits().get(polite), "close")
        self.assertTrue(games["alive_after"], "the other instance is never killed")
        self.assertEqual(len(client.started()), 2, "no relaunch after exit code 3")

    def test_full_client_apply_has_the_same_instance_gate(self):
        client, result, games = self.outcome("others_full_client_apply")
        self.assertEqual(result.code, 3, result)
        self.assertEqual(result.dialogs, [BOX_OTHER])
        self.assertEqual(client.log_lines()[-1], ABORTED_OTHER)
        self.assertEqual(client.close_requests(), [games["stubborn"].pid])
        self.assertEqual(len(client.started()), 1)

    def test_modes_that_apply_no_files_leave_other_instances_alone(self):
        for name, code in (("others_cleanup", 0), ("others_full_client", 5)):
            with self.subTest(mode=name):
                client, result, games = self.outcome(name)
                self.assertEqual(result.code, code, result)
                self.assertEqual(result.dialogs, [])
                lines = client.log_lines()
                self.assertLogHas(lines, SKIP_INSTANCE_CHECK)
                self.assertLogLacksPrefix(lines, "Other same-client")
                self.assertEqual(client.close_requests(), [])
                self.assertTrue(games["alive_after"])
                self.assertRelaunchedFrom(client, count=2)
