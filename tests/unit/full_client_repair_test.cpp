// The full-client compare, plan, apply, rollback, quarantine and empty-folder
// removal on real folders: a client folder with a hand-made extracted package
// in its _full_extract, as the extraction leaves it.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>

#include "base/text.h"
#include "full_client/full_client_apply.h"
#include "full_client/full_client_compare.h"
#include "full_client/quarantine.h"
#include "full_client/repair_apply.h"
#include "full_client/repair_plan.h"
#include "log/log.h"
#include "recording_display.h"
#include "test_support.h"
#include "ui/progress.h"

namespace rr {
namespace {

namespace fs = test::fs;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;
using Lines = std::vector<std::string>;

class FullClientRepairTest : public ::testing::Test {
  protected:
    fs::path Client(const std::string& relative) const { return client.native() / relative; }
    fs::path Package(const std::string& relative) const {
        return client.native() / "_full_extract" / "Client" / relative;
    }
    std::wstring PackageRoot() const { return client.core(L"_full_extract\\Client"); }

    // The texts of a log's lines, time stamps taken off.
    Lines Log(const char* name) const {
        std::string all = ReadFile(client.native() / "Logs" / name);
        Lines lines;
        for (size_t pos = 0; pos < all.size();) {
            size_t eol = all.find("\r\n", pos);
            std::string line = all.substr(pos, eol - pos);
            lines.push_back(line.substr(line.find("] ") + 2));
            pos = eol == std::string::npos ? all.size() : eol + 2;
        }
        return lines;
    }
    static bool Has(const Lines& lines, const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    static size_t IndexOf(const Lines& lines, const std::string& line) {
        return static_cast<size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
    }
    static std::vector<std::string> WithPrefix(const Lines& lines, const std::string& prefix) {
        std::vector<std::string> found;
        for (const std::string& line : lines) {
            if (line.rfind(prefix, 0) == 0) {
                found.push_back(line.substr(prefix.size()));
            }
        }
        return found;
    }

    // Every file and folder below the client except the logs: path -> content.
    std::map<std::string, std::string> Snapshot() const {
        std::map<std::string, std::string> out;
        for (auto it = fs::recursive_directory_iterator(client.native());
             it != fs::recursive_directory_iterator(); ++it) {
            std::string rel = fs::relative(it->path(), client.native()).generic_string();
            if (rel.rfind("Logs", 0) == 0) {
                continue;
            }
            if (it->is_symlink()) {
                out[rel] = "link";
            } else if (it->is_directory()) {
                out[rel] = "dir";
            } else {
                out[rel] = ReadFile(it->path());
            }
        }
        return out;
    }

    // Links need rights Windows may not grant; tests that need one skip then.
    static bool Link(const fs::path& target, const fs::path& link, bool folder) {
        std::error_code ec;
        folder ? fs::create_directory_symlink(target, link, ec)
               : fs::create_symlink(target, link, ec);
        return !ec;
    }

    TempDir client;
    LogScope logScope{client.core()};
    TempDir outside;
    test::RecordingDisplay recorder;
};

TEST_F(FullClientRepairTest, CompareReportsEveryVerdictAndChangesNothing) {
    for (const char* name : {"Main.exe", "Data/Same.bmd"}) {
        WriteFile(Package(name), std::string("same ") + name);
        WriteFile(Client(name), std::string("same ") + name);
    }
    WriteFile(Package("Data/Size.bmd"), "ten bytes!");
    WriteFile(Client("Data/Size.bmd"), "old");
    WriteFile(Package("Data/Hash.bmd"), "AAAA");
    WriteFile(Client("Data/Hash.bmd"), "BBBB");
    WriteFile(Package("Data/New/Missing.bmd"), "m");
    WriteFile(Package("Data/Folder.bmd"), "f");
    fs::create_directories(Client("Data/Folder.bmd"));
    WriteFile(Package("config.ini"), "[package]");
    WriteFile(Client("Data/Extra.bmd"), "extra");
    WriteFile(Client("Data/Local/EnableDiagnostics.txt"), "");
    WriteFile(Package("Data/Linked.bmd"), "x");
    WriteFile(outside.native() / "Linked.bmd", "x");
    if (!Link(outside.native() / "Linked.bmd", Client("Data/Linked.bmd"), false) ||
        !Link(outside.native(), Client("Data/LinkDir"), true) ||
        !Link(outside.native(), Package("Data/PkgLink"), true)) {
        GTEST_SKIP() << "links cannot be created here";
    }
    const auto before = Snapshot();

    FullClientCompareCounts counts;
    ASSERT_TRUE(CompareFullClient(client.core(), PackageRoot(), L"C:\\pkg.zip", counts));

    EXPECT_EQ(counts.packageFiles, 8u);
    EXPECT_EQ(counts.clientFilesScanned, 5u) << "Main.exe, Same, Size, Hash, Extra";
    EXPECT_EQ(counts.ok, 2u);
    EXPECT_EQ(counts.missing, 2u);
    EXPECT_EQ(counts.different, 2u);
    EXPECT_EQ(counts.extra, 1u);
    EXPECT_EQ(counts.blocked, 4u) << "the file link twice, the folder link, the package link";
    EXPECT_EQ(counts.preserved, 4u) << "config.ini; Logs, _full_extract and the marker";
    const Lines lines = Log("FullClientCompare.log");
    for (const char* line : {
             "MISSING: Data\\New\\Missing.bmd",
             "MISSING: Data\\Folder.bmd",
             "DIFFERENT: Data\\Size.bmd (size package=10 client=3)",
             "DIFFERENT: Data\\Hash.bmd (sha256 mismatch)",
             "EXTRA: Data\\Extra.bmd",
             "WARNING: package contains preserved file and it will be ignored: config.ini",
             "PRESERVED/SKIPPED: config.ini",
             "PRESERVED/EXTRA-SKIPPED: _full_extract",
             "PRESERVED/EXTRA-SKIPPED: Data\\Local\\EnableDiagnostics.txt",
             "BLOCKED could not read local size: Data\\Linked.bmd",
             "BLOCKED local reparse point: Data\\Linked.bmd",
             "BLOCKED local reparse point: Data\\LinkDir",
             "BLOCKED package reparse point: Data\\PkgLink",
             " - Data\\Local\\EnableDiagnostics.txt",
             "Total package files: 8",
             "Full client compare dry-run complete. No files were replaced, moved, or deleted.",
         }) {
        EXPECT_TRUE(Has(lines, line)) << line;
    }
    EXPECT_TRUE(WithPrefix(lines, "OK: ").empty()) << "equal files make no line";
    EXPECT_TRUE(Has(Log("RiveRoravav.log"),
                    "Full client compare dry-run summary: OK=2 MISSING=2 DIFFERENT=2 EXTRA=1 "
                    "BLOCKED=4 PRESERVED=4"));
    EXPECT_EQ(Snapshot(), before);

    FullClientCompareCounts refused;
    EXPECT_FALSE(CompareFullClient(client.core(), client.core(), L"C:\\pkg.zip", refused))
        << "the client folder itself is no package root";
    EXPECT_EQ(refused.blocked, 1u);
}

TEST_F(FullClientRepairTest, ApplyCopiesMainExeLastAndNeverLibrariesOrTheUpdater) {
    WriteFile(Package("Main.exe"), "game v2");
    WriteFile(Client("Main.exe"), "game v1");
    for (int i = 0; i < 40; ++i) {
        const std::string name = "Data/Item/I" + std::to_string(i) + ".bmd";
        WriteFile(Package(name), "new " + std::to_string(i));
        if (i < 20) {
            WriteFile(Client(name), "old " + std::to_string(i));
        }
    }
    for (const char* never : {"Data/Hook.dll", "RiveRoravav.exe", "Data/Tools/riveroravav.EXE"}) {
        WriteFile(Package(never), "hostile");
    }

    RepairPlan plan;
    ASSERT_TRUE(BuildRepairPlan(client.core(), PackageRoot(), L"", plan));
    ASSERT_EQ(plan.copies.size(), 41u);
    EXPECT_TRUE(plan.copies.back().isMainExecutable);
    EXPECT_EQ(plan.preservedSkipped, 3u);
    ASSERT_TRUE(ApplyRepairPlan(plan, client.core(), PackageRoot()));

    EXPECT_EQ(ReadFile(Client("Main.exe")), "game v2");
    EXPECT_EQ(ReadFile(Client("Data/Item/I7.bmd")), "new 7");
    EXPECT_EQ(ReadFile(Client("Data/Item/I33.bmd")), "new 33");
    EXPECT_EQ(ReadFile(Client("_backup_update/Main.exe")), "game v1");
    EXPECT_EQ(ReadFile(Client("_backup_update/Data/Item/I7.bmd")), "old 7");
    EXPECT_FALSE(fs::exists(Client("_backup_update/Data/Item/I33.bmd"))) << "was missing";
    for (const char* never : {"Data/Hook.dll", "RiveRoravav.exe", "Data/Tools"}) {
        EXPECT_FALSE(fs::exists(Client(never))) << never;
    }
    const Lines lines = Log("FullClientApply.log");
    const auto applied = WithPrefix(lines, "APPLIED: ");
    ASSERT_EQ(applied.size(), 41u);
    EXPECT_EQ(applied.back(), "Main.exe");
    EXPECT_EQ(IndexOf(lines, "Main.exe replacement safety check passed.") + 2,
              IndexOf(lines, "APPLIED: Main.exe"))
        << "checked, backed up, copied";
    EXPECT_TRUE(Has(lines, "PRESERVED/APPLY-SKIPPED: Data\\Hook.dll"));
    EXPECT_TRUE(Has(lines, "PRESERVED/APPLY-SKIPPED: Data\\Tools\\riveroravav.EXE"));
    EXPECT_EQ(WithPrefix(lines, "BACKUP: ").size(), 21u);

    RepairPlan again;
    ASSERT_TRUE(BuildRepairPlan(client.core(), PackageRoot(), L"", again));
    EXPECT_TRUE(again.copies.empty()) << "every copy was verified in place";
}

TEST_F(FullClientRepairTest, FailureRollsBackEveryEarlierCopyAndKeepsTheBackups) {
    WriteFile(Package("Main.exe"), "game v2");
    WriteFile(Client("Main.exe"), "game v1");
    WriteFile(Package("Data/A.bmd"), "new a");
    WriteFile(Client("Data/A.bmd"), "old a");
    WriteFile(Package("Data/B.bmd"), "new b, longer");
    WriteFile(Client("Data/B.bmd"), "old b");
    WriteFile(Package("Data/C.bmd"), "new c");
    WriteFile(Package("Data/Deep/Er/F.bmd"), "new f");
    RepairPlan plan;
    ASSERT_TRUE(BuildRepairPlan(client.core(), PackageRoot(), L"", plan));
    ASSERT_EQ(plan.copies.size(), 5u);
    // Main.exe comes last, so its failing copy follows four applied ones. A
    // read-only file refuses to be replaced, as CopyFileW refuses it.
    fs::permissions(Client("Main.exe"), fs::perms::owner_read);

    EXPECT_FALSE(ApplyRepairPlan(plan, client.core(), PackageRoot()));

    EXPECT_EQ(ReadFile(Client("Main.exe")), "game v1");
    EXPECT_EQ(ReadFile(Client("Data/A.bmd")), "old a");
    EXPECT_EQ(ReadFile(Client("Data/B.bmd")), "old b");
    EXPECT_FALSE(fs::exists(Client("Data/C.bmd")));
    EXPECT_FALSE(fs::exists(Client("Data/Deep/Er/F.bmd")));
    EXPECT_EQ(ReadFile(Client("_backup_update/Data/A.bmd")), "old a");
    EXPECT_EQ(ReadFile(Client("_backup_update/Data/B.bmd")), "old b");
    EXPECT_EQ(ReadFile(Client("_backup_update/Main.exe")), "game v1");
    const Lines lines = Log("FullClientApply.log");
    EXPECT_EQ(WithPrefix(lines, "APPLY FAILED copy: Main.exe error=").size(), 1u);
    EXPECT_TRUE(Has(lines, "ROLLBACK restored backup: Data\\A.bmd"));
    EXPECT_TRUE(Has(lines, "ROLLBACK restored backup: Data\\B.bmd"));
    EXPECT_TRUE(Has(lines, "ROLLBACK removed newly copied file: Data\\C.bmd"));
    EXPECT_TRUE(Has(lines, "ROLLBACK removed newly copied file: Data\\Deep\\Er\\F.bmd"));
    EXPECT_EQ(WithPrefix(lines, "ROLLBACK ").size(), 4u);
}

TEST_F(FullClientRepairTest, QuarantineMovesExtrasAndNeverReplaces) {
    WriteFile(Package("Main.exe"), "game");
    WriteFile(Client("Main.exe"), "game");
    for (const char* extra :
         {"Data/Old/a.bmd", "Data/Old/b.bmd", "Data/Keep.bmd", "Data/Gone.bmd"}) {
        WriteFile(Client(extra), std::string("extra ") + extra);
    }
    const std::wstring root = client.core(L"_quarantine_update\\20250101_000000");
    const fs::path quarantine = Client("_quarantine_update/20250101_000000");
    WriteFile(quarantine / "Data/Old/a.bmd", "quarantined by an earlier run");
    RepairPlan plan;
    ASSERT_TRUE(BuildRepairPlan(client.core(), PackageRoot(), root, plan));
    ASSERT_EQ(plan.extras.size(), 4u);
    EXPECT_EQ(plan.extrasMovable, 4u);
    std::map<std::string, std::wstring> target;
    for (const ExtraFile& extra : plan.extras) {
        target[Utf16ToUtf8(extra.relativePath)] = extra.quarantinePath;
    }
    const std::wstring stamped = target["Data\\Old\\a.bmd"];
    ASSERT_EQ(stamped.size(), (root + L"\\Data\\Old\\a.bmd").size() + 16) << Utf16ToUtf8(stamped);
    EXPECT_EQ(stamped.substr(0, root.size() + 16), root + L"\\Data\\Old\\a.bmd.");
    // After planning: a file takes Keep.bmd's place in the quarantine, and
    // Gone.bmd turns into a folder.
    WriteFile(quarantine / "Data/Keep.bmd", "already here");
    fs::remove(Client("Data/Gone.bmd"));
    fs::create_directories(Client("Data/Gone.bmd"));

    QuarantineStats stats;
    QuarantineExtras(plan.extras, root, client.core(), stats);

    EXPECT_EQ(stats.total, 4u);
    EXPECT_EQ(stats.quarantined, 2u);
    EXPECT_EQ(stats.failed, 2u);
    EXPECT_EQ(stats.blocked, 1u);
    EXPECT_EQ(ReadFile(test::NativePath(stamped)), "extra Data/Old/a.bmd");
    EXPECT_EQ(ReadFile(quarantine / "Data/Old/a.bmd"), "quarantined by an earlier run");
    EXPECT_EQ(ReadFile(quarantine / "Data/Old/b.bmd"), "extra Data/Old/b.bmd");
    EXPECT_FALSE(fs::exists(Client("Data/Old/a.bmd")));
    EXPECT_EQ(ReadFile(Client("Data/Keep.bmd")), "extra Data/Keep.bmd") << "stays in place";
    EXPECT_EQ(ReadFile(quarantine / "Data/Keep.bmd"), "already here") << "never replaced";
    const Lines lines = Log("FullClientApply.log");
    EXPECT_EQ(WithPrefix(lines, "QUARANTINE FAILED move: Data\\Keep.bmd error=").size(), 1u);
    EXPECT_TRUE(Has(lines, "QUARANTINE BLOCKED unexpected directory: Data\\Gone.bmd"));
    EXPECT_TRUE(Has(
        lines, "QUARANTINED: Data\\Old\\b.bmd -> " + Utf16ToUtf8(root + L"\\Data\\Old\\b.bmd")));
}

TEST_F(FullClientRepairTest, EmptyExtraFoldersGoBottomUpAndProtectedOnesStay) {
    WriteFile(Package("Main.exe"), "game");
    fs::create_directories(Package("Shared"));
    fs::create_directories(Client("Extra/A/B/C"));
    fs::create_directories(Client("Data/Sub/Empty"));
    WriteFile(Client("Kept/file.txt"), "user file");
    fs::create_directories(Client("ScreenShots"));
    fs::create_directories(Client("_full_tmp/Empty"));
    fs::create_directories(Client("Shared"));
    fs::create_directories(outside.native() / "Target" / "EmptyInside");
    const bool linked = Link(outside.native() / "Target", Client("LinkDir"), true);

    ExtraDirStats stats;
    CleanEmptyExtraDirs(client.core(), PackageRoot(), stats);

    const Lines lines = Log("FullClientApply.log");
    const auto removed = WithPrefix(lines, "EXTRA_DIR removed empty: ");
    const std::vector<std::string> extraChain = {"Extra\\A\\B\\C", "Extra\\A\\B", "Extra\\A",
                                                 "Extra"};
    auto at = std::search(removed.begin(), removed.end(), extraChain.begin(), extraChain.end());
    EXPECT_NE(at, removed.end()) << "innermost first";
    EXPECT_EQ(stats.removed, 6u) << "the Extra chain, Data\\Sub\\Empty and Data\\Sub";
    EXPECT_FALSE(fs::exists(Client("Extra")));
    EXPECT_FALSE(fs::exists(Client("Data/Sub")));
    EXPECT_TRUE(fs::is_directory(Client("Data"))) << "Data is never removed, even empty";
    EXPECT_TRUE(WithPrefix(lines, "EXTRA_DIR removed empty: Data").size() == 2u);
    EXPECT_TRUE(Has(lines, "EXTRA_DIR/NOT-EMPTY/KEPT: Kept"));
    EXPECT_EQ(stats.keptNotEmpty, 1u);
    for (const char* kept : {"Logs", "ScreenShots", "_full_tmp", "_full_extract"}) {
        EXPECT_TRUE(Has(lines, std::string("EXTRA_DIR preserved: ") + kept)) << kept;
        EXPECT_TRUE(fs::is_directory(Client(kept))) << kept;
    }
    EXPECT_TRUE(fs::is_directory(Client("_full_tmp/Empty"))) << "never entered";
    EXPECT_TRUE(fs::is_directory(Client("Shared"))) << "the package has it";
    EXPECT_TRUE(WithPrefix(lines, "EXTRA_DIR blocked").size() == (linked ? 1u : 0u));
    if (linked) {
        EXPECT_TRUE(Has(lines, "EXTRA_DIR blocked child reparse point: LinkDir"));
        EXPECT_TRUE(fs::is_directory(outside.native() / "Target" / "EmptyInside"));
        EXPECT_EQ(stats.blocked, 1u);
    }
    EXPECT_EQ(stats.failed, 0u);
    EXPECT_EQ(stats.scanned, 7u);
}

// The apply run as a whole, from plan to the automatic cleanup.
TEST_F(FullClientRepairTest, ApplyRunWithQuarantineEndsWithTheWorkFoldersGone) {
    WriteFile(Package("Main.exe"), "game v2");
    WriteFile(Package("Data/New.bmd"), "new");
    WriteFile(Package("Data/Local/EnableDiagnostics.txt"), "from the package");
    WriteFile(Client("Main.exe"), "game v1");
    WriteFile(Client("Data/Extra.bmd"), "extra");
    WriteFile(Client("Data/Stale/Old.bmd"), "stale");
    WriteFile(Client("Data/Local/EnableDiagnostics.txt"), "");
    WriteFile(Client("Data/Local/ManifestSequence.txt"), "7");
    WriteFile(Client("_full_tmp/Orvella_Client.zip"), "zip");

    ASSERT_TRUE(RunFullClientApply(client.core(), PackageRoot(), client.core(L"_full_tmp\\x.zip"),
                                   /*quarantine=*/true));

    EXPECT_EQ(ReadFile(Client("Main.exe")), "game v2");
    EXPECT_EQ(ReadFile(Client("Data/New.bmd")), "new");
    EXPECT_FALSE(fs::exists(Client("Data/Extra.bmd")));
    EXPECT_FALSE(fs::exists(Client("Data/Stale")));
    EXPECT_EQ(ReadFile(Client("Data/Local/EnableDiagnostics.txt")), "")
        << "the diagnostics switch is neither quarantined nor overwritten";
    EXPECT_EQ(ReadFile(Client("Data/Local/ManifestSequence.txt")), "7")
        << "nor is the record that guards against rolled-back releases";
    for (const char* work :
         {"_full_tmp", "_full_extract", "_backup_update", "_quarantine_update"}) {
        EXPECT_FALSE(fs::exists(Client(work))) << work;
    }
    ASSERT_FALSE(recorder.shown.empty());
    EXPECT_EQ(recorder.shown.back().status, L"Repair complete");
    EXPECT_EQ(recorder.shown.back().detail, L"Files applied; artifacts cleaned");
    EXPECT_EQ(recorder.shown.back().hint,
              L"Copied 2 | Extra moved 2 | Extra preserved 5 | Extra failed 0 | Empty dirs "
              L"removed 1 | Artifacts removed 10");
    const Lines lines = Log("FullClientApply.log");
    EXPECT_TRUE(Has(lines, "PRESERVED/APPLY-SKIPPED: Data\\Local\\EnableDiagnostics.txt"));
    EXPECT_TRUE(Has(lines, "PRESERVED/EXTRA-SKIPPED: Data\\Local\\EnableDiagnostics.txt"));
    EXPECT_TRUE(Has(lines, " auto cleanup target count: 4"));
    EXPECT_TRUE(Has(lines,
                    "Full client repair apply complete. Repair artifacts cleaned after "
                    "successful apply."));
}

TEST_F(FullClientRepairTest, NothingToCopyOrMoveStillRemovesEmptyExtraFolders) {
    WriteFile(Package("Main.exe"), "game");
    WriteFile(Client("Main.exe"), "game");
    fs::create_directories(Client("Data/Unused"));

    ASSERT_TRUE(RunFullClientApply(client.core(), PackageRoot(), L"x.zip", /*quarantine=*/true));

    EXPECT_FALSE(fs::exists(Client("Data/Unused")));
    EXPECT_FALSE(fs::exists(Client("_full_extract")));
    EXPECT_TRUE(Has(Log("FullClientApply.log"), "Repair complete: no changes needed."));
    EXPECT_EQ(recorder.shown.back().detail, L"No changes needed; artifacts cleaned");
    EXPECT_EQ(recorder.shown.back().hint, L"Empty dirs removed 1 | Artifacts removed 2");
}

}  // namespace
}  // namespace rr
