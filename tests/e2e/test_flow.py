"""The entry flow: start-up record, mode dispatch, relaunch, exit codes, log purge."""
import harness
from e2e_common import (BOX_RELAUNCH, SKIP_INSTANCE_CHECK, STARTUP_KEYS, STARTUP_SENTENCE,
                        E2eCase, expected_client_dir, expected_main_path)


class EntryFlowTest(E2eCase):

    def test_completed_cleanup_relaunches_and_records_the_start(self):
        client = self.client()
        client.enable_diagnostics()
        result = harness.run_updater(harness.updater_args(client, mode="Cleanup-Repair-Artifacts"))
        self.assertEqual(result.code, 0, result)
        self.assertEqual(result.dialogs, [])
        self.assertRelaunchedFrom(client)

        lines = client.log_lines()
        self.assertEqual(lines[0], "RiveRoravav V2-C4.3 started")
        self.assertEqual([l.split("=", 1)[0] + "=" for l in lines[1:15]], list(STARTUP_KEYS))
        record = dict(l.split("=", 1) for l in lines[1:15])
        self.assertEqual(record["client-dir"], expected_client_dir(client))
        self.assertEqual(record["main-exe"], "Main.exe")
        self.assertEqual(record["main-pid"], "0")
        self.assertEqual(record["quarantine-extras"], "0")
        self.assertEqual(record["mode"], "Cleanup-Repair-Artifacts", "mode is logged as written")
        self.assertEqual(record["expected-main-path"], expected_main_path(client))
        self.assertEqual(lines[15], STARTUP_SENTENCE)
        self.assertEqual(lines[16], SKIP_INSTANCE_CHECK)
        # Without --main-pid the parent wait passes without a word.
        self.assertLogLacksPrefix(lines, "Waiting for")
        self.assertLogLacksPrefix(lines, "Process ")
        self.assertLogHas(lines, "Relaunched Main.exe pid=%d" % client.started_pids()[0])
        self.assertEqual(lines[-1], "RiveRoravav repair cleanup finished")
        self.assertIn("Repair cleanup summary:", client.log_lines("RepairCleanup.log"))

    def test_completed_run_deletes_logs_unless_marker_is_a_file(self):
        plain = self.client()
        marker_folder = self.client()
        marker_folder.write("Data/Local/EnableDiagnostics.txt/inside.txt", "")
        for client in (plain, marker_folder):
            result = harness.run_updater(harness.updater_args(client, mode="cleanup-repair-artifacts"))
            self.assertEqual(result.code, 0, result)
            self.assertRelaunchedFrom(client)
            self.assertEqual(client.log_files(), [], "a completed run leaves no log behind")

    def test_missing_game_gives_exit_4_and_keeps_logs(self):
        client = self.client(with_main=False)
        result = harness.run_updater(harness.updater_args(client, mode="cleanup-repair-artifacts"))
        self.assertEqual(result.code, 4, result)
        self.assertEqual(result.dialogs, [BOX_RELAUNCH])
        lines = client.log_lines()
        self.assertLogHas(lines, "Failed to relaunch Main.exe. error=2")
        self.assertLogLacksPrefix(lines, "RiveRoravav repair cleanup finished")
        self.assertIn("RepairCleanup.log", client.log_files())

    def test_modes_that_do_not_complete_exit_5_after_relaunch(self):
        cases = {
            # mode as given: (runner name, not-completed line, finished line, checks instances)
            "update": ("update", "V2-C4.3 update did not complete. Relaunching Main.exe without "
                       "applying further changes.", "RiveRoravav V2-C4.3 finished", True),
            "Updte-Misspelt": ("update", "V2-C4.3 update did not complete. Relaunching Main.exe "
                               "without applying further changes.", "RiveRoravav V2-C4.3 finished",
                               True),
            "REPAIR-DRY-RUN": ("repair-dry-run", "Repair dry-run did not complete. Relaunching "
                               "Main.exe without applying changes.",
                               "RiveRoravav repair dry-run finished", False),
            "Full-Client": ("full-client", "Full client download/extract/apply did not complete. "
                            "Relaunching Main.exe.", "RiveRoravav full-client mode finished", False),
            "full-client-apply": ("full-client-apply", "Full client download/extract/apply did "
                                  "not complete. Relaunching Main.exe.",
                                  "RiveRoravav full-client-apply mode finished", True),
        }
        clients = {mode: self.client() for mode in cases}
        results = harness.run_parallel({
            mode: (lambda m=mode: harness.run_updater(harness.updater_args(clients[m], mode=m)))
            for mode in cases})
        for mode, (name, not_completed, finished, checks) in cases.items():
            with self.subTest(mode=mode):
                result = results[mode]
                if isinstance(result, BaseException):
                    raise result
                client = clients[mode]
                self.assertEqual(result.code, 5, result)
                self.assertEqual(result.dialogs, [])
                self.assertRelaunchedFrom(client)
                lines = client.log_lines()  # a failed run keeps its logs
                # No URL was given: each runner refuses with its own reason.
                self.assertLogHas(lines, {
                    "update": "Failed to download a valid manifest from primary and fallback "
                              "URL. No files will be touched.",
                    "repair-dry-run": "No full manifest URL was provided for repair dry-run.",
                    "full-client": "Full client package URL is not configured or is not "
                                   "http/https.",
                    "full-client-apply": "Full client package URL is not configured or is not "
                                         "http/https.",
                }[name])
                self.assertLogHas(lines, not_completed)
                self.assertEqual(lines[-1], finished)
                if checks:
                    self.assertNotIn(SKIP_INSTANCE_CHECK, lines)
                else:
                    self.assertLogHas(lines, SKIP_INSTANCE_CHECK)

    def test_game_of_another_folder_is_never_touched(self):
        client = self.client()
        other = self.client(name="Other_Client")
        game = other.start_game("--exit-after-ms", "60000")
        # It is given as the parent and it is a Main.exe: still not this client's game.
        result = harness.run_updater(harness.updater_args(client, mode="update", main_pid=game.pid))
        self.assertEqual(result.code, 5, result)
        lines = client.log_lines()
        skipped = [l for l in lines if l.startswith("Skipped process from another path: pid=%d path="
                                                    % game.pid)]
        self.assertEqual(len(skipped), 1, lines)
        self.assertTrue(skipped[0].lower().endswith(
            harness.product_path(other.main_exe).replace("/", "\\").lower()), skipped[0])
        self.assertLogLacksPrefix(lines, "Waiting for")
        self.assertLogLacksPrefix(lines, "Other same-client")
        self.assertEqual(other.close_requests(), [])
        self.assertTrue(game.running(), "a game of another folder must keep running")
        self.assertEqual(len(other.started()), 1, "and must not be relaunched")
        self.assertRelaunchedFrom(client)

    def test_parent_that_closes_by_itself_gets_no_close_request(self):
        client = self.client()
        client.enable_diagnostics()
        game = client.start_game("--exit-after-ms", "1500")
        result = harness.run_updater(harness.updater_args(client, mode="cleanup-repair-artifacts",
                                                          main_pid=game.pid))
        self.assertEqual(result.code, 0, result)
        self.assertLess(result.seconds, 14)
        lines = client.log_lines()
        self.assertLogHas(lines, "Waiting for parent Main.exe pid=%d" % game.pid)
        self.assertLogHas(lines, "Process closed: pid=%d" % game.pid)
        self.assertLogLacksPrefix(lines, "Sent WM_CLOSE")
        self.assertEqual(client.close_requests(), [])
        self.assertEqual(client.exits().get(game.pid), "timer")
        self.assertRelaunchedFrom(client, count=2)

    def test_parent_that_is_already_gone_is_logged_and_passed(self):
        client = self.client()
        client.enable_diagnostics()
        game = client.start_game("--exit-after-ms", "0")
        self.assertTrue(game.wait_exit(20))
        result = harness.run_updater(harness.updater_args(client, mode="cleanup-repair-artifacts",
                                                          main_pid=game.pid))
        self.assertEqual(result.code, 0, result)
        lines = client.log_lines()
        self.assertLogHas(lines, "Process already closed or unavailable: pid=%d" % game.pid)
        self.assertLogLacksPrefix(lines, "Waiting for")
