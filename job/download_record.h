// The record a cache entry keeps beside its partial file: which resource the bytes belong to
// and which of them are on disk. A short text of lines, "name value".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "transfer/answer_headers.h"
#include "transfer/byte_ranges.h"
#include "transfer/download_plan.h"

// One address the bytes were fetched from, with the validators it named.
using RecordedSource = SourceVersion;

struct DownloadRecord {
    std::uint64_t length = 0;
    std::string digest;  // the expected SHA-256, 64 lower-case hexadecimal digits, or empty
    std::vector<RecordedSource> sources;
    ByteRanges present;  // ascending and apart, within the length
};

// A record longer than this is not read.
constexpr std::size_t kMaxRecordBytes = 1024 * 1024;

// The text of the record; empty when a value holds a line break or another control character
// (which no header value or accepted address holds), so that such a record is never written.
std::string formatDownloadRecord(const DownloadRecord& record);

// The record in `text`, or nothing when it is not exactly what formatDownloadRecord writes:
// every line known, the length not 0, the ranges ascending, apart and within the length.
std::optional<DownloadRecord> parseDownloadRecord(const std::string& text);

// What the record offers a download that expects `digest` (64 hexadecimal digits, or empty
// for none).
ResumePoint resumePointFor(const DownloadRecord& record, const std::string& digest);

// True when a later run could go on from this record: it names bytes, and a digest or a
// validator of its source.
bool recordCanResume(const DownloadRecord& record);

// The name of the cache entry of an installer: from its digest when the manifest names one,
// else from its address; 32 lower-case hexadecimal digits of a hash, so that no address can
// choose a file name.
std::string cacheEntryName(const std::string& digest, const std::string& url);
