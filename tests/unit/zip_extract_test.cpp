// Extraction of real ZIP files, written byte by byte so that the hostile ones
// (lying sizes, link modes, bad names) can be made at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/text.h"
#include "log/log.h"
#include "platform/zip.h"
#include "package/zip_extract.h"
#include "recording_display.h"
#include "test_support.h"
#include "zip_writer.h"
#include "ui/progress.h"

namespace rr {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;
namespace fs = test::fs;

using test::BuildZip;
using Entry = test::ZipEntrySpec;

class ZipExtractTest : public ::testing::Test {
  protected:
    void SetUp() override {
        WriteFile(client.native() / "Data" / "Keep.dat", "client data");
        WriteFile(outside.native() / "Secret.txt", "secret");
    }

    bool Extract(const std::vector<Entry>& entries) {
        WriteFile(client.native() / "_full_tmp" / "Orvella_Client.zip", BuildZip(entries));
        fs::remove(client.native() / "Logs" / "RiveRoravav.log");
        recorder.shown.clear();
        return ExtractFullClientPackage(
            client.core(), client.core(L"_full_tmp\\Orvella_Client.zip"), extractDir, root, counts);
    }
    bool Logged(const std::wstring& line) {
        const std::string log = ReadFile(client.native() / "Logs" / "RiveRoravav.log");
        return log.find("] " + Utf16ToUtf8(line) + "\r\n") != std::string::npos;
    }
    // Every file of the client outside the logs and the work folders.
    std::map<std::string, std::string> ClientFiles() {
        std::map<std::string, std::string> files;
        for (const auto& item : fs::recursive_directory_iterator(client.native())) {
            const std::string rel = fs::relative(item.path(), client.native()).generic_string();
            if (item.is_regular_file() && rel.rfind("Logs/", 0) != 0 && rel.rfind("_full", 0) != 0)
                files[rel] = ReadFile(item.path());
        }
        return files;
    }
    size_t ExtractedEntryCount() {
        const fs::path dir = client.native() / "_full_extract";
        return fs::is_directory(dir)
                   ? static_cast<size_t>(std::distance(fs::recursive_directory_iterator(dir),
                                                       fs::recursive_directory_iterator()))
                   : 0;
    }

    TempDir client;
    LogScope logScope{client.core()};
    TempDir outside;
    test::RecordingDisplay recorder;
    std::wstring extractDir, root;
    ExtractedCounts counts;
};

TEST_F(ZipExtractTest, FindsPackageRootAtTopInOneTopFolderOrNotAtAll) {
    const std::string model(70000, 'm');  // deflated over two reads of the body
    ASSERT_TRUE(Extract({{"Main.exe", "MZ top"},
                         {"Data/", ""},
                         {"Data/Model.bmd", model, 8},
                         {"patch..notes.txt", "notes"}}));
    EXPECT_EQ(extractDir, client.core(L"_full_extract"));
    EXPECT_EQ(root, extractDir);
    EXPECT_EQ(ReadFile(client.native() / "_full_extract" / "Data" / "Model.bmd"), model);
    EXPECT_EQ(ReadFile(client.native() / "_full_extract" / "Main.exe"), "MZ top");
    EXPECT_EQ(counts.files, 3u);
    EXPECT_EQ(counts.folders, 1u);
    EXPECT_EQ(counts.bytes, model.size() + 6 + 5);
    EXPECT_TRUE(Logged(L"extractor method=libzip"));
    EXPECT_TRUE(Logged(L"allowed filename with double-dot: patch..notes.txt"));
    EXPECT_TRUE(Logged(L"zip entries files=3 folders=1 approximate bytes=70011"));
    EXPECT_TRUE(Logged(L"detected package root=" + extractDir));
    EXPECT_TRUE(
        Logged(L"Main.exe in extracted package=" + client.core(L"_full_extract\\Main.exe")));
    // 830 prepare, 840 entries, 850 copy, 960 all files there, 970 root; never backwards.
    std::vector<int> marks;
    for (const ProgressView& v : recorder.shown) {
        if (marks.empty() || marks.back() != v.permille)
            marks.push_back(v.permille);
    }
    EXPECT_EQ(marks, (std::vector<int>{830, 840, 850, 960, 970}));
    EXPECT_EQ(recorder.shown[2].detail, L"Archive files: 3");
    EXPECT_EQ(recorder.shown[3].detail, L"Extracted files 3 / 3");

    // A stale _full_extract that is a link: the link goes, its target stays.
    fs::remove_all(client.native() / "_full_extract");
    std::error_code ec;
    fs::create_directory_symlink(outside.native(), client.native() / "_full_extract", ec);
    ASSERT_TRUE(
        Extract({{"Client/Main.exe", "MZ"}, {"Client/Data/Model.bmd", "m"}, {"a.txt", ""}}));
    EXPECT_EQ(root, client.core(L"_full_extract\\Client"));
    EXPECT_FALSE(fs::is_symlink(client.native() / "_full_extract"));
    EXPECT_EQ(ReadFile(outside.native() / "Secret.txt"), "secret");
    EXPECT_FALSE(fs::exists(outside.native() / "Client"));

    EXPECT_FALSE(Extract({{"One/Main.exe", "MZ"}, {"Two/x.txt", "x"}}));
    EXPECT_TRUE(Logged(L"Full client package extracted but Main.exe not found."));
    EXPECT_EQ(root, L"");
    // No deeper level is searched, and only a real file counts.
    fs::remove_all(client.native() / "_full_extract");
    WriteFile(client.native() / "_full_extract" / "One" / "Deeper" / "Main.exe", "MZ");
    EXPECT_EQ(FindPackageRoot(client.core(), extractDir), L"");
    fs::create_directories(client.native() / "_full_extract" / "One" / "Main.exe");
    EXPECT_EQ(FindPackageRoot(client.core(), extractDir), L"");
    fs::remove(client.native() / "_full_extract" / "One" / "Main.exe");
    WriteFile(client.native() / "_full_extract" / "One" / "MAIN.EXE", "MZ");
    EXPECT_EQ(FindPackageRoot(client.core(), extractDir), client.core(L"_full_extract\\One"));
}

// Names one Windows volume takes for one file clash beyond ASCII letters too.
TEST_F(ZipExtractTest, NamesEqualOnAVolumeClashBeyondAscii) {
    EXPECT_FALSE(
        Extract({{"Main.exe", "MZ"}, {"Data/\xC3\x89.txt", "a"}, {"Data/\xC3\xA9.txt", "b"}}));
    const std::string log = ReadFile(client.native() / "Logs" / "RiveRoravav.log");
    EXPECT_NE(log.find(Utf16ToUtf8(L"] Rejected ZIP entry that clashes after case folding: "
                                   L"Data\\\u00e9.txt with Data\\\u00c9.txt")),
              std::string::npos)
        << log;
    EXPECT_EQ(ExtractedEntryCount(), 0u);
}

TEST_F(ZipExtractTest, EveryUnsafeEntryStopsTheRunBeforeAnythingIsWritten) {
    const std::string big(4, 'x');
    const struct {
        Entry bad;
        std::vector<std::wstring> lines;
    } cases[] = {
        {{"../evil.txt", "e"},
         {L"Unsafe ZIP entry name rejected: ..", L"blocked traversal segment: ..",
          L"ZIP entry: ../evil.txt"}},
        {{"Data/../../evil.txt", "e"},
         {L"blocked traversal segment: ..", L"ZIP entry: Data/../../evil.txt"}},
        {{"/abs.txt", "e"},
         {L"Unsafe ZIP entry name rejected: ", L"blocked absolute path: ", L"ZIP entry: /abs.txt"}},
        {{"C:/evil.txt", "e"}, {L"blocked absolute path: C:", L"ZIP entry: C:/evil.txt"}},
        {{"Data/a:b.bmd", "e"},
         {L"Unsafe ZIP entry name rejected: a:b.bmd", L"blocked absolute path: a:b.bmd"}},
        {{"Data\\evil.txt", "e"}, {L"Unsafe ZIP entry name rejected: Data\\evil.txt"}},
        {{"Data/./x.txt", "e"}, {L"Unsafe ZIP entry name rejected: .", L"ZIP entry: Data/./x.txt"}},
        {{"Data//x.txt", "e"}, {L"Unsafe ZIP entry name rejected: ", L"ZIP entry: Data//x.txt"}},
        {{"bad\x01.txt", "e", 0, UINT64_MAX, false, false, 0, false},
         {L"Unsafe ZIP entry name rejected: bad\\x01.txt"}},
        {{"what?.txt", "e"}, {L"Unsafe ZIP entry name rejected: what?.txt"}},
        {{"Data/CON.txt", "e"}, {L"Unsafe ZIP relative path rejected: Data\\CON.txt"}},
        {{"trail./x.txt", "e"}, {L"Unsafe ZIP relative path rejected: trail.\\x.txt"}},
        {{"Data/Link", "../../Secret.txt", 0, UINT64_MAX, false, false, 0120777},
         {L"Rejected ZIP link entry: Data/Link"}},
        {{"secret.bin", std::string(12, 's'), 0, UINT64_MAX, false, true},
         {L"Rejected encrypted ZIP entry: secret.bin"}},
        {{"packed.bin", "p", 12},
         {L"Rejected ZIP entry with unsupported compression method=12: packed.bin"}},
        {{"MAIN.EXE", "again"},
         {L"Rejected ZIP entry that clashes after case folding: MAIN.EXE with Main.exe"}},
        {{"Main.exe/x.txt", "x"},
         {L"Rejected ZIP entry that clashes after case folding: Main.exe with Main.exe"}},
        {{"n\xff.txt", "x", 0, UINT64_MAX, false, false, 0, false},
         {L"Failed to list ZIP entries: entry name is not UTF-8 index=1"}},
        {{"huge.bin", big, 0, uint64_t{1} << 62},
         {L"ZIP declared size exceeds free disk space. bytes=4611686018427387906 free="}},
    };
    const auto before = ClientFiles();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bad.name);
        // Main.exe comes first: an extractor that wrote as it went would
        // have written it before meeting the bad entry.
        EXPECT_FALSE(Extract({{"Main.exe", "MZ"}, c.bad}));
        const std::string log = ReadFile(client.native() / "Logs" / "RiveRoravav.log");
        for (const std::wstring& line : c.lines) {
            EXPECT_NE(log.find("] " + Utf16ToUtf8(line)), std::string::npos) << Utf16ToUtf8(line);
        }
        EXPECT_TRUE(fs::is_directory(client.native() / "_full_extract"));
        EXPECT_EQ(ExtractedEntryCount(), 0u);
    }
    EXPECT_EQ(ClientFiles(), before);
    EXPECT_FALSE(fs::exists(client.native() / "evil.txt"));
    EXPECT_FALSE(fs::exists(client.native().parent_path() / "evil.txt"));
    EXPECT_EQ(ReadFile(outside.native() / "Secret.txt"), "secret");

    EXPECT_FALSE(Extract({{"Data/", ""}}));
    EXPECT_TRUE(Logged(L"ZIP entry validation failed or ZIP contains no files."));
}

TEST_F(ZipExtractTest, BodyThatBreaksItsDeclarationFailsAndLeavesNoFile) {
    // The reader itself never hands on more than the declared size.
    const std::string zip = BuildZip({{"long.bin", std::string(300000, 'L'), 0, 1000}});
    platform::ZipReader reader;
    ASSERT_TRUE(reader.OpenMemory(zip.data(), zip.size()));
    std::vector<platform::ZipEntry> listing;
    ASSERT_TRUE(reader.List(listing));
    ASSERT_EQ(listing.size(), 1u);
    EXPECT_EQ(listing[0].size, 1000u);
    uint64_t delivered = 0;
    EXPECT_FALSE(reader.ReadEntry(listing[0], [&](const void*, size_t n) {
        delivered += n;
        return true;
    }));
    EXPECT_EQ(reader.LastError(), platform::ZipError::kTooLong);
    EXPECT_LE(delivered, 1000u);

    const struct {
        Entry bad;
        std::wstring line;
    } cases[] = {
        {{"Data/Long.bin", std::string(5000, 'L'), 0, 10},
         L"ZIP entry read failed: body longer than declared size=10 entry=Data/Long.bin"},
        {{"Data/Deflated.bin", std::string(5000, 'D'), 8, 10},
         L"ZIP entry read failed: body longer than declared size=10 entry=Data/Deflated.bin"},
        {{"Data/Short.bin", "short", 0, 6}, L"ZIP entry read failed: "},
        {{"Data/Crc.bin", "crc", 0, UINT64_MAX, true},
         L"ZIP entry read failed: CRC-32 mismatch entry=Data/Crc.bin"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bad.name);
        EXPECT_FALSE(Extract({{"Main.exe", "MZ"}, c.bad}));
        const std::string log = ReadFile(client.native() / "Logs" / "RiveRoravav.log");
        EXPECT_NE(log.find("] " + Utf16ToUtf8(c.line)), std::string::npos);
        EXPECT_FALSE(fs::exists(client.native() / "_full_extract" / fs::path(c.bad.name)));
        EXPECT_FALSE(Logged(L"Full client package extracted but Main.exe not found."));
    }
}

}  // namespace
}  // namespace rr
