// Directory handles on real folders, files and links in a temporary folder.
// The same cases run natively and, cross-built, under Wine.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "base/text.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "test_support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace rr {
namespace {

namespace fs = std::filesystem;
using platform::DirEntry;
using platform::DirHandle;
using platform::FileInfo;
using platform::FileReader;
using platform::FileWriter;
using platform::LastError;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

#ifdef _WIN32
// Wine's CreateSymbolicLinkW reports success and makes nothing, and deleting a
// Unix link through Windows calls deletes its target, but Wine starts a Unix
// program given by its path. A shell script then makes and removes links and
// FIFOs; it runs detached, so it touches a marker file once done.
bool RunUnixShell(const std::string& script, std::vector<fs::path> args, const fs::path& marker) {
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    using ToUnix = char*(__cdecl*)(const wchar_t*);
    auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "wine_get_unix_file_name")));
    if (toUnix == nullptr) {
        return false;
    }
    args.push_back(marker);
    std::string full = script + " && touch \"$" + std::to_string(args.size() - 1) + "\"";
    std::wstring command = L"/bin/sh -c \"";
    for (wchar_t c : Utf8ToUtf16(full)) {
        if (c == L'"') {
            command += L'\\';
        }
        command += c;
    }
    command += L'"';
    for (const auto& arg : args) {
        char* unixPath = toUnix(fs::absolute(arg).wstring().c_str());
        if (unixPath == nullptr) {
            return false;
        }
        command += L" \"" + Utf8ToUtf16(unixPath) + L"\"";
        ::HeapFree(::GetProcessHeap(), 0, unixPath);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process)) {
        return false;
    }
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    for (int i = 0; i < 400; ++i) {
        std::error_code ec;
        if (fs::remove(marker, ec)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}
#endif

bool InListing(const fs::path& path) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(path.parent_path(), ec)) {
        if (entry.path().filename() == path.filename()) {
            return true;
        }
    }
    return false;
}

std::set<std::string> Names(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// client/ is the walk's anchor; outside/ must never be touched through it.
class DirHandleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        WriteFile(dir.native() / "outside" / "secret.txt", "secret");
        WriteFile(client() / "Data" / "file.bin", "payload");
        ASSERT_TRUE(root.OpenAnchor(dir.core(L"client"))) << LastError();
    }
    fs::path client() const { return dir.native() / "client"; }
    fs::path outside() const { return dir.native() / "outside"; }
    // What the shell made goes before TempDir's cleanup, which under Wine follows
    // links and spins on a FIFO.
    void TearDown() override {
#ifdef _WIN32
        for (const auto& made : unixMade_) {
            EXPECT_TRUE(RunUnixShell("rm -f \"$0\"", {made}, dir.native() / "tool.done"));
        }
#endif
        for (const auto& link : links_) {
            std::error_code ec;
            fs::remove(link, ec);
        }
    }
    // False, with the test marked skipped, where links cannot be made.
    bool Link(const fs::path& target, const fs::path& link, bool directory) {
        std::error_code ec;
        if (directory) {
            fs::create_directory_symlink(target, link, ec);
        } else {
            fs::create_symlink(target, link, ec);
        }
        if (!ec && InListing(link)) {
            links_.push_back(link);
            return true;
        }
#ifdef _WIN32
        if (RunUnixShell("ln -s \"$0\" \"$1\"", {target, link}, dir.native() / "tool.done")) {
            unixMade_.push_back(link);
            return true;
        }
#endif
        [] { GTEST_SKIP() << "no way to make a symbolic link here"; }();
        return false;
    }
    bool MakeFifo(const fs::path& path) {
#ifdef _WIN32
        unixMade_.push_back(path);
        return RunUnixShell("mkfifo \"$0\"", {path}, dir.native() / "tool.done");
#else
        return ::mkfifo(path.c_str(), 0600) == 0;
#endif
    }
    TempDir dir;
    DirHandle root;

  private:
    std::vector<fs::path> links_;
    std::vector<fs::path> unixMade_;
};

TEST_F(DirHandleTest, WalkRefusesLinksWhereFoldersAndFilesAreExpected) {
    if (!Link(outside(), client() / "DirLink", true))
        return;
    if (!Link(outside() / "secret.txt", client() / "FileLink", false))
        return;
    const auto outsideBefore = Names(outside());

    DirHandle data;
    ASSERT_TRUE(data.OpenChild(root, L"Data")) << LastError();
    FileInfo info;
    ASSERT_TRUE(data.Stat(L"file.bin", info));
    EXPECT_TRUE(info.IsRegularFile());
    EXPECT_EQ(info.size, 7u);

    std::vector<DirEntry> entries;
    ASSERT_TRUE(root.List(entries));
    std::set<std::wstring> listed;
    for (const auto& entry : entries) {
        listed.insert(entry.name);
        if (entry.name == L"Data") {
            EXPECT_TRUE(entry.IsDirectory() && !entry.IsReparsePoint());
        }
        if (entry.name == L"DirLink") {
            EXPECT_TRUE(entry.IsReparsePoint());
        }
    }
    EXPECT_EQ(listed, (std::set<std::wstring>{L"Data", L"DirLink", L"FileLink"}));

    for (const wchar_t* link : {L"DirLink", L"FileLink"}) {
        SCOPED_TRACE(testing::Message() << "link " << Utf16ToUtf8(link));
        ASSERT_TRUE(root.Stat(link, info));
        EXPECT_TRUE(info.IsReparsePoint());
        EXPECT_EQ(info.size, 0u);
        DirHandle child;
        EXPECT_FALSE(child.OpenChild(root, link));
        EXPECT_EQ(LastError(), platform::kErrorStoppedOnSymlink);
        EXPECT_FALSE(child.IsOpen());
        FileReader reader;
        EXPECT_FALSE(root.OpenFileForRead(link, reader));
        EXPECT_EQ(LastError(), platform::kErrorStoppedOnSymlink);
        EXPECT_FALSE(root.AppendToChild(link, "appended"));
        EXPECT_FALSE(root.RemoveChildDirectory(link));
        EXPECT_EQ(LastError(), platform::kErrorStoppedOnSymlink);
        EXPECT_FALSE(root.MakeChildDirectory(link));
        EXPECT_EQ(LastError(), platform::kErrorAlreadyExists);
    }
    ASSERT_TRUE(root.Stat(L"DirLink", info));
    EXPECT_TRUE(info.IsDirectory()) << "a link to a folder says so";
    EXPECT_EQ(ReadFile(outside() / "secret.txt"), "secret");
    EXPECT_EQ(Names(outside()), outsideBefore);
}

// A listing that only tells files from folders may leave out what a plain
// file's own look would show, never that an entry is a folder, a link or a
// device.
TEST_F(DirHandleTest, ListingOfKindsTellsFoldersLinksAndDevicesInFull) {
    if (!Link(outside(), client() / "DirLink", true))
        return;
    if (!Link(outside() / "secret.txt", client() / "FileLink", false))
        return;
    WriteFile(client() / "ReadOnly.txt", "r");
    fs::permissions(client() / "ReadOnly.txt", fs::perms::owner_read);
    const bool fifo = MakeFifo(client() / "fifo");

    std::vector<DirEntry> full;
    std::vector<DirEntry> kinds;
    ASSERT_TRUE(root.List(full)) << LastError();
    ASSERT_TRUE(root.List(kinds, platform::ListDetail::kKinds)) << LastError();
    std::map<std::wstring, uint32_t> told;
    for (const auto& entry : kinds) {
        told[entry.name] = entry.attributes;
    }
    ASSERT_EQ(told.size(), full.size());
    std::set<std::wstring> plain;
    for (const auto& entry : full) {
        SCOPED_TRACE(testing::Message() << "entry " << Utf16ToUtf8(entry.name));
        ASSERT_EQ(told.count(entry.name), 1u);
        const DirEntry kind{entry.name, told[entry.name]};
        if (entry.IsRegularFile()) {
            EXPECT_TRUE(kind.IsRegularFile());
            plain.insert(entry.name);
        } else {
            EXPECT_EQ(kind.attributes, entry.attributes);
        }
    }
    EXPECT_EQ(plain.count(L"ReadOnly.txt"), 1u);
    EXPECT_EQ(plain.count(L"DirLink"), 0u);
#ifndef _WIN32
    // Wine lists a Unix link to a file, and a FIFO, as plain files.
    EXPECT_EQ(plain, (std::set<std::wstring>{L"ReadOnly.txt"}));
#endif
    EXPECT_EQ(told.count(L"fifo"), fifo ? 1u : 0u);
}

TEST_F(DirHandleTest, RemovalTakesEntriesNeverLinkTargetsOrRealFolders) {
    if (!Link(outside() / "secret.txt", client() / "FileLink", false))
        return;
    if (!Link(outside(), client() / "DirLink", true))
        return;
    WriteFile(outside() / "keep" / "inner.txt", "inner");

    EXPECT_TRUE(root.RemoveChild(L"FileLink")) << LastError();
    EXPECT_FALSE(fs::exists(client() / "FileLink"));
    EXPECT_EQ(ReadFile(outside() / "secret.txt"), "secret");

    // Wine can only reach a Unix link to a folder through its target, so there
    // the link may stay; it must never cost the target anything.
    if (root.RemoveChild(L"DirLink")) {
        EXPECT_FALSE(InListing(client() / "DirLink"));
    } else {
        EXPECT_EQ(LastError(), platform::kErrorStoppedOnSymlink);
    }
    EXPECT_EQ(ReadFile(outside() / "secret.txt"), "secret");
    EXPECT_EQ(ReadFile(outside() / "keep" / "inner.txt"), "inner");

    EXPECT_FALSE(root.RemoveChild(L"Data"));
    EXPECT_EQ(LastError(), platform::kErrorAccessDenied);
    EXPECT_FALSE(root.RemoveChildDirectory(L"Data"));
    EXPECT_EQ(LastError(), platform::kErrorDirNotEmpty);
    EXPECT_FALSE(root.RemoveChild(L"missing"));
    EXPECT_EQ(LastError(), platform::kErrorFileNotFound);

    DirHandle data;
    ASSERT_TRUE(data.OpenChild(root, L"Data"));
    fs::permissions(client() / "Data" / "file.bin", fs::perms::owner_read);
    EXPECT_TRUE(data.RemoveChild(L"file.bin")) << "read-only is no obstacle: " << LastError();
    data.Close();
    EXPECT_TRUE(root.RemoveChildDirectory(L"Data")) << LastError();
    EXPECT_FALSE(fs::exists(client() / "Data"));
}

TEST_F(DirHandleTest, RenameReplacesFilesNeverFolders) {
    // The installed file shares its bytes with a file outside the client.
    WriteFile(outside() / "shared.dat", "outside bytes");
    std::error_code ec;
    fs::create_hard_link(outside() / "shared.dat", client() / "Data" / "game.dat", ec);
    ASSERT_FALSE(ec) << ec.message();

    DirHandle data;
    ASSERT_TRUE(data.OpenChild(root, L"Data"));
    FileWriter writer;
    ASSERT_TRUE(data.CreateNewFile(L"game.dat.new", writer)) << LastError();
    ASSERT_TRUE(writer.Write("new bytes", 9));
    ASSERT_TRUE(writer.Flush());
    ASSERT_TRUE(writer.Close());

    EXPECT_FALSE(data.Rename(L"game.dat.new", data, L"game.dat", false));
    EXPECT_EQ(LastError(), platform::kErrorAlreadyExists);
    EXPECT_EQ(ReadFile(client() / "Data" / "game.dat"), "outside bytes");

    fs::permissions(client() / "Data" / "game.dat", fs::perms::owner_read);
    EXPECT_TRUE(data.Rename(L"game.dat.new", data, L"game.dat", true)) << LastError();
    EXPECT_EQ(ReadFile(client() / "Data" / "game.dat"), "new bytes");
    EXPECT_EQ(ReadFile(outside() / "shared.dat"), "outside bytes");
    EXPECT_FALSE(fs::exists(client() / "Data" / "game.dat.new"));

    // A file never replaces a folder, even when asked to.
    fs::create_directory(client() / "Data" / "Folder");
    WriteFile(client() / "Data" / "Folder" / "kept.txt", "kept");
    EXPECT_FALSE(data.Rename(L"file.bin", data, L"Folder", true));
    EXPECT_EQ(LastError(), platform::kErrorAccessDenied);
    EXPECT_EQ(ReadFile(client() / "Data" / "Folder" / "kept.txt"), "kept");
    EXPECT_EQ(ReadFile(client() / "Data" / "file.bin"), "payload");

    // Across handles, and a folder moves as a whole.
    EXPECT_TRUE(data.Rename(L"Folder", root, L"Moved", false)) << LastError();
    EXPECT_EQ(ReadFile(client() / "Moved" / "kept.txt"), "kept");
}

TEST_F(DirHandleTest, CreateAndAppendNeverGoThroughAnExistingEntry) {
    if (!Link(outside() / "secret.txt", client() / "FileLink", false))
        return;
    if (!Link(outside() / "made-through-link.txt", client() / "Dangling", false))
        return;

    DirHandle data;
    ASSERT_TRUE(data.OpenChild(root, L"Data"));
    for (const wchar_t* taken : {L"file.bin", L"FileLink", L"Dangling", L"Data"}) {
        SCOPED_TRACE(testing::Message() << "entry " << Utf16ToUtf8(taken));
        const DirHandle& in = std::wstring(taken) == L"file.bin" ? data : root;
        FileWriter writer;
        EXPECT_FALSE(in.CreateNewFile(taken, writer));
        EXPECT_EQ(LastError(), platform::kErrorAlreadyExists);
    }
    EXPECT_FALSE(root.AppendToChild(L"Dangling", "x"));
    EXPECT_FALSE(fs::exists(outside() / "made-through-link.txt"));
    EXPECT_EQ(ReadFile(client() / "Data" / "file.bin"), "payload");
    EXPECT_EQ(ReadFile(outside() / "secret.txt"), "secret");

    EXPECT_TRUE(data.AppendToChild(L"file.bin", " more")) << LastError();
    EXPECT_TRUE(data.AppendToChild(L"log.txt", "one")) << LastError();
    EXPECT_TRUE(data.AppendToChild(L"log.txt", " two")) << LastError();
    EXPECT_EQ(ReadFile(client() / "Data" / "file.bin"), "payload more");
    EXPECT_EQ(ReadFile(client() / "Data" / "log.txt"), "one two");
}

// A resumed download appends to its partial file: never through a link, nor
// through a second name of a file that lives elsewhere too.
TEST_F(DirHandleTest, OpenForAppendWritesAtTheEndOfOneFileOnly) {
    DirHandle data;
    ASSERT_TRUE(data.OpenChild(root, L"Data"));
    FileWriter writer;
    uint64_t size = 0;
    ASSERT_TRUE(data.OpenFileForAppend(L"file.bin", writer, size)) << LastError();
    EXPECT_EQ(size, 7u);
    EXPECT_TRUE(writer.Write(" more", 5));
    EXPECT_TRUE(writer.Close());
    EXPECT_EQ(ReadFile(client() / "Data" / "file.bin"), "payload more");
    EXPECT_FALSE(data.OpenFileForAppend(L"missing", writer, size));
    EXPECT_FALSE(root.OpenFileForAppend(L"Data", writer, size));

    std::error_code ec;
    fs::create_hard_link(outside() / "secret.txt", client() / "Hard", ec);
    ASSERT_FALSE(ec) << ec.message();
    EXPECT_FALSE(root.OpenFileForAppend(L"Hard", writer, size));
    if (Link(outside() / "secret.txt", client() / "FileLink", false)) {
        EXPECT_FALSE(root.OpenFileForAppend(L"FileLink", writer, size));
    }
    EXPECT_EQ(ReadFile(outside() / "secret.txt"), "secret");
}

TEST_F(DirHandleTest, OpenFileForReadTakesRegularFilesOnly) {
    DirHandle data;
    ASSERT_TRUE(data.OpenChild(root, L"Data"));
    FileReader reader;
    ASSERT_TRUE(data.OpenFileForRead(L"file.bin", reader)) << LastError();
    char buffer[16] = {};
    size_t got = 0;
    ASSERT_TRUE(reader.Read(buffer, sizeof(buffer), got));
    EXPECT_EQ(std::string(buffer, got), "payload");

    EXPECT_FALSE(root.OpenFileForRead(L"Data", reader));
    EXPECT_NE(LastError(), platform::kErrorStoppedOnSymlink);
    EXPECT_FALSE(root.OpenFileForRead(L"missing", reader));
    EXPECT_EQ(LastError(), platform::kErrorFileNotFound);
    EXPECT_FALSE(root.OpenFileForRead(L"..", reader)) << "one name, never a path";
    EXPECT_FALSE(root.OpenFileForRead(L"Data\\file.bin", reader)) << "one name, never a path";

    // Reading a FIFO with no writer would block forever.
    if (!MakeFifo(client() / "fifo")) {
        GTEST_SKIP() << "no way to make a FIFO here";
    }
    FileInfo info;
    ASSERT_TRUE(root.Stat(L"fifo", info)) << LastError();
    EXPECT_FALSE(info.IsRegularFile());
    EXPECT_TRUE(info.attributes & platform::kAttrDevice);
    EXPECT_FALSE(root.OpenFileForRead(L"fifo", reader));
    EXPECT_FALSE(root.AppendToChild(L"fifo", "x"));
}

}  // namespace
}  // namespace rr
