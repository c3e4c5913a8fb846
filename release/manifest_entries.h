// What a vendor's setup manifest must look like before it is signed, and the rewrite that adds
// the installers' digests. The downloader's own lookup (getManifestValue) is the judge of
// whether an entry is found; this file only adds the stricter rules of a release: one entry per
// key, each key at the start of its line.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "driver/installer_address.h"

// One of the four address keys, or the optional URL_ARM64_SETUP_SSL.
bool isAddressKey(const std::string& key);

// "URL_64BIT_SETUP_MIRROR1".."_MIRROR8": an alternate of an address key. `looksLikeMirrorKey`
// is any key with "_MIRROR" after an address key, which a release must then number 1 to 8.
bool isMirrorKey(const std::string& key);
bool looksLikeMirrorKey(const std::string& key);

// "URL_64BIT_SETUP" -> "SHA256_64BIT_SETUP"; empty for a key that is not an address key.
std::string digestKeyFor(const std::string& addressKey);

// One line of the text. `key` is set when the line is an entry: a name of letters, digits and
// underscores at the very start of the line, directly followed by "=".
struct ManifestLine {
    std::size_t start = 0;       // first byte of the line
    std::size_t end = 0;         // the byte after its last one, before the line ending
    std::size_t next = 0;        // first byte of the next line (or the text's size)
    std::string key;             // empty when the line is not an entry
    std::size_t valueStart = 0;  // first byte after "=" (entries only)
};

// Lines end in LF, CRLF or a lone CR. A UTF-8 byte-order mark at the very start is not part
// of the first line.
std::vector<ManifestLine> manifestLines(const std::string& text);

// Why the text cannot be published as a manifest, in one sentence; empty when it can. Checks
// that the four address keys are present (URL_ARM64_SETUP_SSL may be), each key once, each at the
// start of its line, that the downloader's lookup reads every entry's value from that very line,
// and that every alternate address (..._MIRROR1 to _MIRROR8) is one the downloader would use.
std::string manifestProblem(const std::string& text);

// Why the bytes are not acceptable as a manifest text at all (not UTF-8, a NUL byte), or empty.
std::string manifestEncodingProblem(const std::string& bytes);

struct DigestEntry {
    std::string addressKey;  // an address key
    std::string hex;         // 64 lower-case hexadecimal digits
};

// The text to be signed: the manifest up to its signature line (dropped, with everything after
// it), each digest entry replaced in place or appended, and a final line ending. False, with
// the reason in `problem`, for a manifest that must not be signed.
bool prepareForSigning(const std::string& manifest, const std::vector<DigestEntry>& digests,
                       std::string& signedText, std::string& problem);
