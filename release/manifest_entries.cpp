#include "release/manifest_entries.h"

#include <algorithm>
#include <iterator>
#include <map>

#include "support/manifest_lookup.h"
#include "support/manifest_signature.h"
#include "support/sha256.h"
#include "support/text_conversion.h"

namespace {

const char kByteOrderMark[] = "\xEF\xBB\xBF";

bool isKeyCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

std::size_t lineNumberAt(const std::vector<ManifestLine>& lines, std::size_t pos) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (pos < lines[i].next) {
            return i + 1;
        }
    }
    return lines.size();
}

std::string valueOf(const std::string& text, const ManifestLine& line) {
    return text.substr(line.valueStart, line.end - line.valueStart);
}

// The line ending the text already uses, so that added lines match it.
std::string lineEndingOf(const std::string& text) {
    const std::size_t pos = text.find_first_of("\r\n");
    if (pos == std::string::npos || text[pos] == '\n') {
        return "\n";
    }
    return pos + 1 < text.size() && text[pos + 1] == '\n' ? "\r\n" : "\r";
}

// The four keys every manifest holds, and the optional ARM64 one.
std::vector<std::string> allAddressKeys() {
    std::vector<std::string> keys(std::begin(kInstallerAddressKeys),
                                  std::end(kInstallerAddressKeys));
    keys.push_back(kArm64AddressKey);
    return keys;
}

}  // namespace

bool isAddressKey(const std::string& key) {
    const std::vector<std::string> keys = allAddressKeys();
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

bool looksLikeMirrorKey(const std::string& key) {
    for (const std::string& address : allAddressKeys()) {
        const std::string prefix = address + "_MIRROR";
        if (key.compare(0, prefix.size(), prefix) == 0) {
            return true;
        }
    }
    return false;
}

bool isMirrorKey(const std::string& key) {
    for (const std::string& address : allAddressKeys()) {
        for (int number = 1; number <= kMaxMirrors; ++number) {
            if (key == mirrorKey(address, number)) {
                return true;
            }
        }
    }
    return false;
}

std::string digestKeyFor(const std::string& addressKey) {
    if (!isAddressKey(addressKey)) {
        return std::string();
    }
    return "SHA256_" + addressKey.substr(4);
}

std::vector<ManifestLine> manifestLines(const std::string& text) {
    std::vector<ManifestLine> lines;
    std::size_t pos = text.compare(0, 3, kByteOrderMark) == 0 ? 3 : 0;
    while (pos < text.size()) {
        ManifestLine line;
        line.start = pos;
        const std::size_t ending = text.find_first_of("\r\n", pos);
        line.end = ending == std::string::npos ? text.size() : ending;
        line.next = line.end;
        if (line.next < text.size()) {
            line.next += (text[line.next] == '\r' && line.next + 1 < text.size() &&
                          text[line.next + 1] == '\n')
                             ? 2
                             : 1;
        }
        std::size_t keyEnd = line.start;
        while (keyEnd < line.end && isKeyCharacter(text[keyEnd])) {
            ++keyEnd;
        }
        if (keyEnd > line.start && keyEnd < line.end && text[keyEnd] == '=') {
            line.key = text.substr(line.start, keyEnd - line.start);
            line.valueStart = keyEnd + 1;
        }
        lines.push_back(line);
        pos = line.next;
    }
    return lines;
}

std::string manifestEncodingProblem(const std::string& bytes) {
    const std::size_t nul = bytes.find('\0');
    if (nul != std::string::npos) {
        return "holds a NUL byte (at offset " + std::to_string(nul) +
               "), which hides the rest from the downloader";
    }
    std::u16string decoded;
    if (!fromUtf8(bytes, decoded)) {
        return "is not UTF-8 text";
    }
    return std::string();
}

std::string manifestProblem(const std::string& text) {
    const std::string encoding = manifestEncodingProblem(text);
    if (!encoding.empty()) {
        return "the manifest " + encoding;
    }
    const std::vector<ManifestLine> lines = manifestLines(text);
    std::map<std::string, std::size_t> firstLine;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& key = lines[i].key;
        if (key.empty()) {
            continue;
        }
        const auto seen = firstLine.find(key);
        if (seen != firstLine.end()) {
            return key + " appears twice (lines " + std::to_string(seen->second + 1) + " and " +
                   std::to_string(i + 1) + "); the downloader reads only the first";
        }
        firstLine[key] = i;
    }
    for (const char* key : kInstallerAddressKeys) {
        if (firstLine.count(key) == 0) {
            const std::size_t elsewhere = text.find(std::string(key) + "=");
            if (elsewhere != std::string::npos) {
                return std::string(key) + " does not start its line (line " +
                       std::to_string(lineNumberAt(lines, elsewhere)) +
                       "); the downloader would not find it";
            }
            return std::string("the manifest lacks ") + key;
        }
    }
    // Every entry the downloader may read must be read from its own line.
    for (const auto& [key, index] : firstLine) {
        const ManifestLine& line = lines[index];
        const std::string where = " (line " + std::to_string(index + 1) + ")";
        if (isAddressKey(key) && valueOf(text, line).empty()) {
            return key + " is empty" + where +
                   (key == kArm64AddressKey ? "; leave it out where there is no ARM64 installer"
                                            : "; the downloader would install nothing there");
        }
        if (looksLikeMirrorKey(key) && !isMirrorKey(key)) {
            return key + where + ": alternates are numbered 1 to " + std::to_string(kMaxMirrors) +
                   "; the downloader would not read it";
        }
        if (isMirrorKey(key)) {
            const std::string problem = mirrorProblem(valueOf(text, line));
            if (!problem.empty()) {
                return key + where + ": the address " + problem +
                       "; the downloader would not use it";
            }
        }
        if (!isAddressKey(key) && !isMirrorKey(key) && key.compare(0, 7, "SHA256_") != 0) {
            continue;
        }
        std::string found;
        const bool present = getManifestValue(text, key.c_str(), found);
        if (!present || found != valueOf(text, line)) {
            const std::size_t first = text.find(key + "=");
            const std::string earlier = std::to_string(lineNumberAt(lines, first));
            if (first >= line.start) {
                return "the downloader would not find " + key + " on line " +
                       std::to_string(index + 1);
            }
            if (!present) {
                return "the downloader would not find " + key + ": the \"" + key + "=\" on line " +
                       earlier + " stops its search";
            }
            return "the downloader would read " + key + " from line " + earlier +
                   ", not from its entry on line " + std::to_string(index + 1);
        }
    }
    return std::string();
}

namespace {

// A digest entry the downloader would read but could not match any file with.
std::string digestEntryProblem(const std::string& text) {
    const std::vector<ManifestLine> lines = manifestLines(text);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        Sha256Digest digest{};
        if (lines[i].key.compare(0, 7, "SHA256_") == 0 &&
            !parseSha256Hex(valueOf(text, lines[i]), digest)) {
            return lines[i].key + " on line " + std::to_string(i + 1) +
                   " is not 64 hexadecimal digits; give --installer for it";
        }
    }
    return std::string();
}

}  // namespace

bool prepareForSigning(const std::string& manifest, const std::vector<DigestEntry>& digests,
                       std::string& signedText, std::string& problem) {
    const std::string encoding = manifestEncodingProblem(manifest);
    if (!encoding.empty()) {
        problem = "the manifest " + encoding;
        return false;
    }
    std::string text = splitSignedManifest(manifest).signedText;
    problem = manifestProblem(text);
    if (!problem.empty()) {
        return false;
    }
    for (const DigestEntry& digest : digests) {
        std::string address;
        if (!getManifestValue(text, digest.addressKey.c_str(), address)) {
            problem =
                "an installer is given for " + digest.addressKey + ", which the manifest lacks";
            return false;
        }
    }
    const std::string ending = lineEndingOf(text);
    for (const DigestEntry& digest : digests) {
        const std::string key = digestKeyFor(digest.addressKey);
        bool replaced = false;
        for (const ManifestLine& line : manifestLines(text)) {
            if (line.key == key) {
                text.replace(line.valueStart, line.end - line.valueStart, digest.hex);
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            if (!text.empty() && text.back() != '\n' && text.back() != '\r') {
                text += ending;
            }
            text += key + "=" + digest.hex + ending;
        }
    }
    // The signature line must start a line of its own.
    if (!text.empty() && text.back() != '\n' && text.back() != '\r') {
        text += ending;
    }
    problem = manifestProblem(text);
    if (problem.empty()) {
        problem = digestEntryProblem(text);
    }
    if (!problem.empty()) {
        return false;
    }
    for (const DigestEntry& digest : digests) {
        std::string found;
        if (!getManifestValue(text, digestKeyFor(digest.addressKey).c_str(), found) ||
            found != digest.hex) {
            problem = "the downloader would not find " + digestKeyFor(digest.addressKey);
            return false;
        }
    }
    signedText = text;
    return true;
}
