#pragma once
// Freeze and rollback protection for signed manifests. A valid signature only
// says the publisher once made this manifest; without more, whoever controls
// the network could keep serving an old release (with its old bugs) forever.
// So a signed manifest carries `expires`, after which it is refused, and a
// `sequence` that grows with every release; the updater refuses a sequence
// lower than the highest it has accepted for the client folder, which it
// keeps in one small file below Data\Local.
#include <cstdint>
#include <string>

#include "fs/safe_fs.h"
#include "manifest/manifest.h"

namespace rr {

// The record of the highest accepted sequence, relative to the client folder.
extern const wchar_t* const kSequenceRecordPath;

// "YYYY-MM-DDTHH:MM:SSZ" exactly (UTC, 4-digit year from 1970, real dates
// only, no leap second) as seconds since 1970-01-01T00:00:00Z.
bool ParseUtcTimestamp(const std::wstring& text, int64_t& seconds);
std::wstring FormatUtcTimestamp(int64_t seconds);

// A missing record (or missing folders on its way) reads as 0. A record that
// exists but cannot be read, is reached through a link or holds anything but a
// decimal number is a logged failure: the check cannot be made.
bool ReadAcceptedSequence(const ClientFolder& client, uint64_t& highest);

// Replaces the record by writing a new file beside it and renaming it over,
// so a crash leaves the old or the new number, never half of one.
bool RecordAcceptedSequence(const ClientFolder& client, uint64_t sequence);

// The manifest is not past its expiry at `now` and its sequence is not lower
// than `highest`. Each refusal logs its own line.
bool CheckManifestFreshness(const Manifest& manifest, uint64_t highest, int64_t now);

}  // namespace rr
