#include "job/download_record.h"

#include <algorithm>
#include <cctype>

#include "support/sha256.h"

namespace {

constexpr char kFirstLine[] = "downloader-resume 1";

bool hasControlCharacters(const std::string& value) {
    return std::any_of(value.begin(), value.end(), [](char c) {
        const unsigned char byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

bool parseNumber(const std::string& text, std::uint64_t& value) {
    if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0')) {
        return false;
    }
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
    }
    return true;
}

bool isLowerHexDigest(const std::string& text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

std::string lowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

}  // namespace

std::string formatDownloadRecord(const DownloadRecord& record) {
    std::string text = std::string(kFirstLine) + "\n";
    text += "length " + std::to_string(record.length) + "\n";
    if (!record.digest.empty()) {
        if (!isLowerHexDigest(record.digest)) {
            return std::string();
        }
        text += "digest " + record.digest + "\n";
    }
    for (const RecordedSource& source : record.sources) {
        if (source.url.empty() || hasControlCharacters(source.url) ||
            hasControlCharacters(source.version.etag) ||
            hasControlCharacters(source.version.lastModified)) {
            return std::string();
        }
        text += "source " + source.url + "\n";
        if (!source.version.etag.empty()) {
            text += "etag " + source.version.etag + "\n";
        }
        if (!source.version.lastModified.empty()) {
            text += "modified " + source.version.lastModified + "\n";
        }
    }
    for (const ByteRange& range : record.present) {
        text += "have " + std::to_string(range.first) + " " + std::to_string(range.last) + "\n";
    }
    return text + "end\n";
}

std::optional<DownloadRecord> parseDownloadRecord(const std::string& text) {
    if (text.size() > kMaxRecordBytes) {
        return std::nullopt;
    }
    DownloadRecord record;
    std::size_t at = 0;
    std::size_t lineNumber = 0;
    bool ended = false;
    while (at < text.size()) {
        const std::size_t newline = text.find('\n', at);
        if (newline == std::string::npos || ended) {
            return std::nullopt;  // a last line without its end, or anything after "end"
        }
        const std::string line = text.substr(at, newline - at);
        at = newline + 1;
        if (hasControlCharacters(line)) {
            return std::nullopt;
        }
        if (lineNumber++ == 0) {
            if (line != kFirstLine) {
                return std::nullopt;
            }
            continue;
        }
        if (line == "end") {
            ended = true;
            continue;
        }
        const std::size_t blank = line.find(' ');
        if (blank == std::string::npos || blank + 1 == line.size()) {
            return std::nullopt;
        }
        const std::string name = line.substr(0, blank);
        const std::string value = line.substr(blank + 1);
        if (name == "length" && lineNumber == 2) {
            if (!parseNumber(value, record.length) || record.length == 0) {
                return std::nullopt;
            }
        } else if (name == "digest" && record.digest.empty() && record.sources.empty() &&
                   record.present.empty()) {
            if (!isLowerHexDigest(value)) {
                return std::nullopt;
            }
            record.digest = value;
        } else if (name == "source" && record.present.empty()) {
            record.sources.push_back({value, ResourceVersion()});
        } else if ((name == "etag" || name == "modified") && !record.sources.empty() &&
                   record.present.empty()) {
            ResourceVersion& version = record.sources.back().version;
            std::string& field = name == "etag" ? version.etag : version.lastModified;
            if (!field.empty() || (name == "etag" && !version.lastModified.empty())) {
                return std::nullopt;
            }
            field = value;
        } else if (name == "have") {
            const std::size_t second = value.find(' ');
            ByteRange range;
            if (second == std::string::npos || !parseNumber(value.substr(0, second), range.first) ||
                !parseNumber(value.substr(second + 1), range.last)) {
                return std::nullopt;
            }
            record.present.push_back(range);
        } else {
            return std::nullopt;
        }
    }
    if (!ended || record.length == 0 || !rangesFitResource(record.present, record.length)) {
        return std::nullopt;
    }
    return record;
}

ResumePoint resumePointFor(const DownloadRecord& record, const std::string& digest) {
    ResumePoint point;
    point.length = record.length;
    point.versions = record.sources;
    point.present = record.present;
    point.sameDigest = !record.digest.empty() && record.digest == lowerCase(digest);
    return point;
}

bool recordCanResume(const DownloadRecord& record) {
    if (record.present.empty()) {
        return false;
    }
    return !record.digest.empty() || std::any_of(record.sources.begin(), record.sources.end(),
                                                 [](const RecordedSource& source) {
                                                     return !source.version.ifRange().empty();
                                                 });
}

std::string cacheEntryName(const std::string& digest, const std::string& url) {
    const std::string key = digest.empty() ? "address " + url : "digest " + lowerCase(digest);
    return sha256Hex(sha256Of(key)).substr(0, 32);
}
