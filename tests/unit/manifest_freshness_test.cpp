// Expiry and rollback checks of signed manifests, and the record of the
// highest accepted sequence on a real client folder.
#include <gtest/gtest.h>

#include "log_capture.h"
#include "manifest/manifest_freshness.h"

namespace rr {
namespace {

using test::LogCapture;
namespace fs = test::fs;

TEST(ManifestFreshness, TimestampsAreUtcInOneExactForm) {
    int64_t seconds = -1;
    ASSERT_TRUE(ParseUtcTimestamp(L"1970-01-01T00:00:00Z", seconds));
    EXPECT_EQ(seconds, 0);
    ASSERT_TRUE(ParseUtcTimestamp(L"2000-03-01T00:00:00Z", seconds));
    int64_t leapDay = 0;
    ASSERT_TRUE(ParseUtcTimestamp(L"2000-02-29T00:00:00Z", leapDay));
    EXPECT_EQ(seconds - leapDay, 86400);
    ASSERT_TRUE(ParseUtcTimestamp(L"2038-01-19T03:14:08Z", seconds));
    EXPECT_EQ(seconds, 2147483648LL);  // past 32-bit time

    for (const wchar_t* bad :
         {L"", L"2030-01-01T00:00:00", L"2030-01-01T00:00:00z", L"2030-01-01 00:00:00Z",
          L"2030-1-01T00:00:00Z", L"2030-01-01T00:00:00+00:00", L"1969-12-31T23:59:59Z",
          L"2030-13-01T00:00:00Z", L"2030-00-10T00:00:00Z", L"2030-04-31T00:00:00Z",
          L"2100-02-29T00:00:00Z", L"2030-01-01T24:00:00Z", L"2030-01-01T00:60:00Z",
          L"2030-01-01T00:00:60Z", L"2030-01-01T00:00:0xZ"}) {
        EXPECT_FALSE(ParseUtcTimestamp(bad, seconds)) << bad;
    }
    for (int64_t value : {0LL, 951782400LL, 1767225599LL, 4102444800LL, 253402300799LL}) {
        ASSERT_TRUE(ParseUtcTimestamp(FormatUtcTimestamp(value), seconds)) << value;
        EXPECT_EQ(seconds, value);
    }
}

TEST(ManifestFreshness, ExpiredLowerOrMissingMembersAreRefusedEachWithItsLine) {
    LogCapture log;
    Manifest manifest;
    manifest.expires = L"2030-06-01T12:00:00Z";
    manifest.hasSequence = true;
    manifest.sequence = 8;
    int64_t expires = 0;
    ASSERT_TRUE(ParseUtcTimestamp(manifest.expires, expires));

    EXPECT_TRUE(CheckManifestFreshness(manifest, 8, expires - 1));
    EXPECT_FALSE(CheckManifestFreshness(manifest, 8, expires));
    EXPECT_FALSE(CheckManifestFreshness(manifest, 9, expires - 1));
    Manifest noSequence = manifest;
    noSequence.hasSequence = false;
    EXPECT_FALSE(CheckManifestFreshness(noSequence, 0, expires - 1));
    Manifest noExpiry = manifest;
    noExpiry.expires.clear();
    EXPECT_FALSE(CheckManifestFreshness(noExpiry, 0, 0));

    EXPECT_EQ(log.MainLines(),
              (std::vector<std::wstring>{
                  L"Manifest sequence=8 expires=2030-06-01T12:00:00Z highest accepted before=8",
                  L"Manifest rejected: expired. expires=2030-06-01T12:00:00Z "
                  L"now=2030-06-01T12:00:00Z",
                  L"Manifest rejected: sequence lower than the highest accepted. sequence=8 "
                  L"highest=9",
                  L"Manifest rejected: sequence is missing or not a whole number.",
                  L"Manifest rejected: expires is missing or not YYYY-MM-DDTHH:MM:SSZ: ",
              }));
}

TEST(ManifestFreshness, RecordIsReplacedWholeAndAnUnreadableOneIsAFailure) {
    LogCapture log;
    test::TempDir client;
    const fs::path record = client.native() / "Data" / "Local" / "ManifestSequence.txt";
    uint64_t highest = 99;
    ASSERT_TRUE(ReadAcceptedSequence(client.core(), highest));
    EXPECT_EQ(highest, 0u);  // no Data\Local yet: nothing accepted before

    ASSERT_TRUE(RecordAcceptedSequence(client.core(), 41));
    EXPECT_EQ(test::ReadFile(record), "41\r\n");
    ASSERT_TRUE(RecordAcceptedSequence(client.core(), 18446744073709551615ULL));
    ASSERT_TRUE(ReadAcceptedSequence(client.core(), highest));
    EXPECT_EQ(highest, 18446744073709551615ULL);
    EXPECT_EQ(std::distance(fs::directory_iterator(record.parent_path()), fs::directory_iterator()),
              1);  // no replacement file left beside it

    // A record that cannot be trusted stops the check rather than reading as 0.
    for (const char* bad : {"", "12a\r\n", "-1", "18446744073709551616", " 5"}) {
        test::WriteFile(record, bad);
        EXPECT_FALSE(ReadAcceptedSequence(client.core(), highest)) << bad;
    }
    fs::remove(record);
    fs::create_directory(record);
    EXPECT_FALSE(ReadAcceptedSequence(client.core(), highest));
    EXPECT_FALSE(RecordAcceptedSequence(client.core(), 3));
    EXPECT_TRUE(fs::is_directory(record));
}

}  // namespace
}  // namespace rr
