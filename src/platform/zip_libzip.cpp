// The ZIP reader on libzip, the same file for both builds.
#include <zip.h>

#include <algorithm>
#include <vector>

#include "platform/fs.h"
#include "platform/text.h"
#include "platform/zip.h"

namespace rr::platform {

namespace {

// Closes the archive on every exit path. Read-only: zip_discard, never
// zip_close, which would try to write changes back.
struct ArchiveCloser {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
using Archive = std::unique_ptr<zip_t, ArchiveCloser>;

struct EntryCloser {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using EntryFile = std::unique_ptr<zip_file_t, EntryCloser>;

// A zip_error_t that is finalised on every exit path.
class ErrorHolder {
  public:
    ErrorHolder() { zip_error_init(&error_); }
    ~ErrorHolder() { zip_error_fini(&error_); }
    ErrorHolder(const ErrorHolder&) = delete;
    ErrorHolder& operator=(const ErrorHolder&) = delete;
    zip_error_t* get() { return &error_; }
    std::wstring Text() { return Utf8ToWide(zip_error_strerror(&error_)); }

  private:
    zip_error_t error_;
};

std::wstring Decimal(uint64_t value) {
    return std::to_wstring(value);
}

// ZIP_CHECKCONS also compares every local header with its central entry: an
// archive that names one thing to one reader and another thing to another is
// refused rather than interpreted.
constexpr int kOpenFlags = ZIP_RDONLY | ZIP_CHECKCONS;

}  // namespace

bool DecodeUtf8Name(const std::string& bytes, std::wstring& name) {
    name.clear();
    size_t i = 0;
    while (i < bytes.size()) {
        const auto b0 = static_cast<unsigned char>(bytes[i]);
        char32_t cp = 0;
        size_t length = 0;
        char32_t minimum = 0;
        if (b0 < 0x80) {
            cp = b0;
            length = 1;
        } else if ((b0 & 0xE0) == 0xC0) {
            cp = b0 & 0x1F;
            length = 2;
            minimum = 0x80;
        } else if ((b0 & 0xF0) == 0xE0) {
            cp = b0 & 0x0F;
            length = 3;
            minimum = 0x800;
        } else if ((b0 & 0xF8) == 0xF0) {
            cp = b0 & 0x07;
            length = 4;
            minimum = 0x10000;
        } else {
            return false;
        }
        if (cp == 0 && length == 1) {
            return false;
        }
        if (bytes.size() - i < length) {
            return false;
        }
        for (size_t k = 1; k < length; ++k) {
            const auto b = static_cast<unsigned char>(bytes[i + k]);
            if ((b & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (b & 0x3F);
        }
        if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        if constexpr (sizeof(wchar_t) == 2) {
            if (cp >= 0x10000) {
                cp -= 0x10000;
                name.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
                name.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
                i += length;
                continue;
            }
        }
        name.push_back(static_cast<wchar_t>(cp));
        i += length;
    }
    return true;
}

struct ZipReader::Impl {
    Archive archive;
};

ZipReader::ZipReader() : impl_(std::make_unique<Impl>()) {}
ZipReader::~ZipReader() = default;

bool ZipReader::Fail(ZipError error, const std::wstring& text) {
    error_ = error;
    errorText_ = text;
    return false;
}

bool ZipReader::OpenFile(const std::wstring& path) {
    Close();
    int code = 0;
    zip_t* archive = zip_open(NativePathUtf8(path).c_str(), kOpenFlags, &code);
    if (!archive) {
        ErrorHolder error;
        zip_error_init_with_code(error.get(), code);
        return Fail(ZipError::kOpen, error.Text());
    }
    impl_->archive.reset(archive);
    return true;
}

bool ZipReader::OpenMemory(const void* data, size_t size) {
    Close();
    ErrorHolder error;
    zip_source_t* source = zip_source_buffer_create(data, size, 0, error.get());
    if (!source) {
        return Fail(ZipError::kOpen, error.Text());
    }
    zip_t* archive = zip_open_from_source(source, kOpenFlags, error.get());
    if (!archive) {
        // Still ours when the open failed.
        zip_source_free(source);
        return Fail(ZipError::kOpen, error.Text());
    }
    impl_->archive.reset(archive);
    return true;
}

bool ZipReader::IsOpen() const {
    return impl_->archive != nullptr;
}

void ZipReader::Close() {
    impl_->archive.reset();
}

bool ZipReader::List(std::vector<ZipEntry>& entries) {
    entries.clear();
    zip_t* archive = impl_->archive.get();
    if (!archive) {
        return Fail(ZipError::kList, L"archive not open");
    }
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    if (count < 0) {
        return Fail(ZipError::kList, Utf8ToWide(zip_strerror(archive)));
    }
    entries.reserve(static_cast<size_t>(std::min<zip_int64_t>(count, 1 << 20)));
    for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
        zip_stat_t st;
        zip_stat_init(&st);
        // The stored bytes, not libzip's guess at a code page: a name is
        // taken as UTF-8 or not at all.
        if (zip_stat_index(archive, i, ZIP_FL_ENC_RAW, &st) != 0) {
            return Fail(ZipError::kList,
                        Utf8ToWide(zip_strerror(archive)) + L" index=" + Decimal(i));
        }
        const zip_uint64_t needed =
            ZIP_STAT_NAME | ZIP_STAT_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD;
        if ((st.valid & needed) != needed || st.name == nullptr) {
            return Fail(ZipError::kList, L"entry lacks name, size or method index=" + Decimal(i));
        }
        ZipEntry entry;
        entry.index = i;
        if (!DecodeUtf8Name(st.name, entry.name)) {
            return Fail(ZipError::kNameNotUtf8, L"entry name is not UTF-8 index=" + Decimal(i));
        }
        entry.size = st.size;
        entry.method = st.comp_method;
        entry.encrypted = st.encryption_method != ZIP_EM_NONE;
        zip_uint8_t system = 0;
        zip_uint32_t attributes = 0;
        if (zip_file_get_external_attributes(archive, i, 0, &system, &attributes) != 0) {
            return Fail(ZipError::kList,
                        Utf8ToWide(zip_strerror(archive)) + L" index=" + Decimal(i));
        }
        if (system == ZIP_OPSYS_UNIX) {
            entry.hasUnixMode = true;
            entry.unixMode = attributes >> 16;
        }
        entries.push_back(std::move(entry));
    }
    return true;
}

bool ZipReader::ReadEntry(const ZipEntry& entry, const Sink& sink) {
    zip_t* archive = impl_->archive.get();
    if (!archive) {
        return Fail(ZipError::kRead, L"archive not open");
    }
    EntryFile file(zip_fopen_index(archive, entry.index, 0));
    if (!file) {
        return Fail(ZipError::kRead, Utf8ToWide(zip_strerror(archive)));
    }
    std::vector<unsigned char> buffer(256 * 1024);
    uint64_t total = 0;
    for (;;) {
        const zip_int64_t got = zip_fread(file.get(), buffer.data(), buffer.size());
        if (got < 0) {
            zip_error_t* error = zip_file_get_error(file.get());
            const int code = zip_error_code_zip(error);
            if (code == ZIP_ER_CRC) {
                return Fail(ZipError::kCrc, L"CRC-32 mismatch");
            }
            // libzip checks the length only at the end of the body.
            if (code == ZIP_ER_INCONS && total < entry.size) {
                return Fail(ZipError::kTooShort, L"body shorter than declared size=" +
                                                     Decimal(entry.size) + L" got=" +
                                                     Decimal(total));
            }
            return Fail(ZipError::kRead, Utf8ToWide(zip_error_strerror(error)));
        }
        if (got == 0) {
            break;
        }
        const auto piece = static_cast<uint64_t>(got);
        if (piece > entry.size - total) {
            // Nothing past the declared size reaches the receiver: the free
            // space was checked against the declared sizes.
            return Fail(ZipError::kTooLong,
                        L"body longer than declared size=" + Decimal(entry.size));
        }
        total += piece;
        if (!sink(buffer.data(), static_cast<size_t>(piece))) {
            return Fail(ZipError::kSink, L"receiver refused the data");
        }
    }
    if (total != entry.size) {
        return Fail(ZipError::kTooShort, L"body shorter than declared size=" + Decimal(entry.size) +
                                             L" got=" + Decimal(total));
    }
    return true;
}

}  // namespace rr::platform
