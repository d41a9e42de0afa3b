#include "publish/package_zip.h"

#include <zip.h>

#include <ctime>
#include <utility>

#include "policy/incremental_allowlist.h"
#include "base/path.h"
#include "log/log.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "platform/text.h"

namespace rr::publish {

namespace {

std::string NativePath(const std::wstring& corePath) {
    std::string bytes = platform::WideToUtf8(corePath);
    for (char& c : bytes) {
        if (c == '\\') {
            c = '/';
        }
    }
    return bytes;
}

// ZIP stores local wall-clock fields and libzip fills them with localtime():
// handing it the instant that is 1980-01-01 00:00:00 here gives the same
// fields in every time zone.
time_t FixedEntryTime() {
    struct tm fields {};
    fields.tm_year = 80;
    fields.tm_mon = 0;
    fields.tm_mday = 1;
    fields.tm_hour = 12;  // noon: no time zone's offset moves it to another day
    fields.tm_isdst = -1;
    return mktime(&fields);
}

class Archive {
  public:
    ~Archive() {
        if (zip_ != nullptr) {
            zip_discard(zip_);
        }
    }
    bool Open(const std::string& path, Error* err) {
        int code = 0;
        zip_ = zip_open(path.c_str(), ZIP_CREATE | ZIP_EXCL, &code);
        if (zip_ == nullptr) {
            zip_error_t why;
            zip_error_init_with_code(&why, code);
            std::wstring text =
                L"package cannot be created: " + platform::Utf8ToWide(zip_error_strerror(&why));
            zip_error_fini(&why);
            return Fail(err, platform::kErrorSuccess, std::move(text));
        }
        return true;
    }
    zip_t* get() const { return zip_; }
    bool Close(Error* err) {
        if (zip_close(zip_) != 0) {
            return Fail(err, platform::kErrorSuccess, L"package cannot be written: " + LastError());
        }
        zip_ = nullptr;
        return true;
    }
    std::wstring LastError() const { return platform::Utf8ToWide(zip_strerror(zip_)); }

  private:
    zip_t* zip_ = nullptr;
};

}  // namespace

bool WriteClientPackage(const std::wstring& zipPath, const std::vector<PackageEntry>& entries,
                        Error* err) {
    const std::string path = NativePath(zipPath);
    bool written = false;
    {
        Archive archive;
        if (!archive.Open(path, err)) {
            return false;
        }
        const time_t stamp = FixedEntryTime();
        for (const PackageEntry& entry : entries) {
            std::string name = platform::WideToUtf8(entry.name);
            for (char& c : name) {
                if (c == '\\') {
                    c = '/';
                }
            }
            zip_source_t* source = zip_source_file(archive.get(), NativePath(entry.source).c_str(),
                                                   0, -1);  // -1: to the end
            if (source == nullptr) {
                return Fail(err, platform::kErrorSuccess,
                            L"package entry cannot be read: " + entry.source);
            }
            zip_int64_t index = zip_file_add(archive.get(), name.c_str(), source, ZIP_FL_ENC_UTF_8);
            if (index < 0) {
                zip_source_free(source);
                return Fail(err, platform::kErrorSuccess,
                            L"package entry cannot be added: " + entry.name + L" (" +
                                archive.LastError() + L")");
            }
            const auto at = static_cast<zip_uint64_t>(index);
            // Executables keep their executable bit for POSIX extraction;
            // Windows ignores Unix modes.
            const zip_uint32_t mode =
                PathExtension(FoldCase(entry.name)) == L".exe" ? 0100755 : 0100644;
            if (zip_set_file_compression(archive.get(), at, ZIP_CM_DEFLATE, 9) != 0 ||
                zip_file_set_mtime(archive.get(), at, stamp, 0) != 0 ||
                zip_file_set_external_attributes(archive.get(), at, 0, ZIP_OPSYS_UNIX,
                                                 mode << 16) != 0) {
                return Fail(err, platform::kErrorSuccess,
                            L"package entry cannot be set up: " + entry.name);
            }
        }
        written = archive.Close(err);
    }
    if (!written) {
        platform::RemoveFile(zipPath);
    }
    return written;
}

}  // namespace rr::publish
