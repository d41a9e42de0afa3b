#include "manifest/manifest_freshness.h"

#include "base/path.h"
#include "base/text.h"
#include "fs/safe_fs.h"
#include "log/log.h"
#include "platform/error.h"
#include "platform/fs.h"

namespace rr {

const wchar_t* const kSequenceRecordPath = L"Data\\Local\\ManifestSequence.txt";
// The update run's work folder, which it empties at its start and end.
const wchar_t* const kRecordStagingFolder = L"_update_tmp\\~copies";

namespace {

constexpr size_t kRecordMaxBytes = 64;

bool ReadDigits(const std::wstring& text, size_t pos, size_t count, int& value) {
    value = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        if (text[i] < L'0' || text[i] > L'9') {
            return false;
        }
        value = value * 10 + (text[i] - L'0');
    }
    return true;
}

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yoe = year - era * 400;
    const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

std::wstring TwoDigits(int64_t value) {
    std::wstring text = ToDecimal(static_cast<unsigned long long>(value));
    return text.size() < 2 ? L"0" + text : text;
}

bool IsMissing(const Error& err) {
    return err.stop == WalkStop::kMissing || (err.stop == WalkStop::kNone && IsNotFound(err.code));
}

bool ParseRecord(const std::string& bytes, uint64_t& value) {
    size_t end = bytes.size();
    while (end > 0 && (bytes[end - 1] == '\r' || bytes[end - 1] == '\n')) {
        --end;
    }
    if (end == 0 || end > 20) {
        return false;
    }
    return ParseDecimal(std::string_view(bytes).substr(0, end), value);
}

}  // namespace

bool ParseUtcTimestamp(const std::wstring& text, int64_t& seconds) {
    // 0123456789012345678 9
    // YYYY-MM-DDTHH:MM:SSZ
    if (text.size() != 20 || text[4] != L'-' || text[7] != L'-' || text[10] != L'T' ||
        text[13] != L':' || text[16] != L':' || text[19] != L'Z') {
        return false;
    }
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!ReadDigits(text, 0, 4, year) || !ReadDigits(text, 5, 2, month) ||
        !ReadDigits(text, 8, 2, day) || !ReadDigits(text, 11, 2, hour) ||
        !ReadDigits(text, 14, 2, minute) || !ReadDigits(text, 17, 2, second)) {
        return false;
    }
    static const int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1970 || month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 ||
        second > 59) {
        return false;
    }
    int monthDays = kDaysInMonth[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
    if (day > monthDays) {
        return false;
    }
    seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

std::wstring FormatUtcTimestamp(int64_t seconds) {
    int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    int64_t rest = seconds - days * 86400;
    // Civil date from days since 1970-01-01 (the inverse of DaysFromCivil).
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    return ToDecimalSigned(year) + L"-" + TwoDigits(month) + L"-" + TwoDigits(day) + L"T" +
           TwoDigits(rest / 3600) + L":" + TwoDigits(rest / 60 % 60) + L":" + TwoDigits(rest % 60) +
           L"Z";
}

bool ReadAcceptedSequence(const ClientFolder& client, uint64_t& highest) {
    highest = 0;
    const std::wstring path = JoinPath(client.Path(), kSequenceRecordPath);
    platform::FileReader reader;
    Error err;
    if (!OpenFileBelow(client, path, reader, &err)) {
        if (IsMissing(err)) {
            return true;
        }
        LogMain(L"Manifest sequence record could not be opened. error=" + ToDecimal(err.code) +
                L" reason=" + WalkStopText(err.stop) + L" path=" + path);
        return false;
    }
    std::string bytes;
    char buffer[kRecordMaxBytes + 1];
    for (;;) {
        size_t got = 0;
        if (!reader.Read(buffer, sizeof(buffer), got)) {
            LogMain(L"Manifest sequence record could not be read. error=" +
                    ToDecimal(platform::LastError()) + L" path=" + path);
            return false;
        }
        if (got == 0) {
            break;
        }
        bytes.append(buffer, got);
        if (bytes.size() > kRecordMaxBytes) {
            break;
        }
    }
    if (bytes.size() > kRecordMaxBytes || !ParseRecord(bytes, highest)) {
        LogMain(L"Manifest sequence record is not a number: " + path);
        highest = 0;
        return false;
    }
    return true;
}

bool RecordAcceptedSequence(const ClientFolder& client, uint64_t sequence) {
    const std::wstring path = JoinPath(client.Path(), kSequenceRecordPath);
    platform::DirHandle folder;
    std::wstring name;
    Error err;
    // Written in the update's own work folder and renamed over the record, so
    // that a killed run leaves no stray file in Data\Local.
    platform::DirHandle staging;
    bool ok = OpenParentBelow(client, path, true, folder, name, &err) &&
              OpenFolderBelow(client, kRecordStagingFolder, true, staging, &err);
    const std::wstring temp = ReplacementTempName(name);
    if (ok && !staging.RemoveChild(temp)) {
        err.code = platform::LastError();
        ok = IsNotFound(err.code);
    }
    if (ok) {
        const std::string text = Utf16ToUtf8(ToDecimal(sequence)) + "\r\n";
        platform::FileWriter writer;
        ok = staging.CreateNewFile(temp, writer) && writer.Write(text.data(), text.size()) &&
             writer.Flush() && writer.Close() && staging.Rename(temp, folder, name, true);
        if (!ok) {
            err.code = platform::LastError();
            staging.RemoveChild(temp);
        }
    }
    if (!ok) {
        LogMain(L"Failed to record the accepted manifest sequence. error=" + ToDecimal(err.code) +
                L" reason=" + WalkStopText(err.stop) + L" path=" + path);
        return false;
    }
    LogMain(L"Recorded accepted manifest sequence=" + ToDecimal(sequence) + L" path=" + path);
    return true;
}

bool CheckManifestFreshness(const Manifest& manifest, uint64_t highest, int64_t now) {
    int64_t expires = 0;
    if (!ParseUtcTimestamp(manifest.expires, expires)) {
        LogMain(L"Manifest rejected: expires is missing or not YYYY-MM-DDTHH:MM:SSZ: " +
                manifest.expires);
        return false;
    }
    if (now >= expires) {
        LogMain(L"Manifest rejected: expired. expires=" + manifest.expires + L" now=" +
                FormatUtcTimestamp(now));
        return false;
    }
    if (!manifest.hasSequence) {
        LogMain(L"Manifest rejected: sequence is missing or not a whole number.");
        return false;
    }
    if (manifest.sequence < highest) {
        LogMain(L"Manifest rejected: sequence lower than the highest accepted. sequence=" +
                ToDecimal(manifest.sequence) + L" highest=" + ToDecimal(highest));
        return false;
    }
    LogMain(L"Manifest sequence=" + ToDecimal(manifest.sequence) + L" expires=" + manifest.expires +
            L" highest accepted before=" + ToDecimal(highest));
    return true;
}

}  // namespace rr
