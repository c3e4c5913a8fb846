#include "release/deployment_check.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>

#include "driver/installer_address.h"
#include "job/installer_file_name.h"
#include "release/address_facts.h"
#include "release/manifest_entries.h"
#include "support/manifest_lookup.h"
#include "support/manifest_signature.h"
#include "support/sha256.h"
#include "support/text_conversion.h"
#include "transfer/http_downloader.h"

namespace {

CheckItem item(const char* name, CheckStatus status, std::string detail) {
    return CheckItem{name, status, std::move(detail)};
}

std::string lowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

CheckItem signatureItem(const std::string& manifest, const CheckSettings& settings,
                        std::string& readableText) {
    const SignedManifest parts = splitSignedManifest(manifest);
    if (!settings.keysGiven) {
        readableText = manifest;
        return item("signature", CheckStatus::Skipped, "not checked (no --keys given)");
    }
    readableText = parts.signedText;
    if (!parts.hasSignatureLine) {
        return item("signature", CheckStatus::Fail,
                    "the manifest carries no SIGNATURE_ED25519 line");
    }
    if (!parts.signatureWellFormed) {
        return item("signature", CheckStatus::Fail,
                    "the SIGNATURE_ED25519 value is not the base64 form of 64 bytes");
    }
    for (std::size_t i = 0; i < settings.keys.size(); ++i) {
        std::string signedText;
        if (verifyManifest(manifest, {settings.keys[i]}, signedText)) {
            return item("signature", CheckStatus::Pass,
                        "valid, made with key " + std::to_string(i + 1) + " of " +
                            std::to_string(settings.keys.size()) + " in " + settings.keysPath);
        }
    }
    return item("signature", CheckStatus::Fail,
                "does not verify with any key in " + settings.keysPath +
                    " (another key, or the manifest changed after signing)");
}

// The downloader reads the keys in order and stops at the first one missing: keys after it
// stay unread, so their machines get no address. URL_ARM64_SETUP_SSL comes after the four.
struct KeyLookup {
    bool found = false;
    std::string value;
    std::string missingBefore;  // the missing key that stopped the lookup before this one
};

std::map<std::string, KeyLookup> lookUpAddresses(const std::string& text) {
    std::map<std::string, KeyLookup> lookups;
    std::string stoppedAt;
    std::vector<const char*> keys(std::begin(kInstallerAddressKeys),
                                  std::end(kInstallerAddressKeys));
    keys.push_back(kArm64AddressKey);
    for (const char* key : keys) {
        KeyLookup& lookup = lookups[key];
        if (!stoppedAt.empty()) {
            lookup.missingBefore = stoppedAt;
            continue;
        }
        lookup.found = getManifestValue(text, key, lookup.value);
        if (!lookup.found) {
            stoppedAt = key;
        }
    }
    return lookups;
}

// ARM64 machines have a row of their own where the manifest names a native installer for them
// (an empty entry is passed over: they take the x64 or x86 rows' addresses then).
bool namesArm64Installer(const std::string& text) {
    std::string value;
    return getManifestValue(text, kArm64AddressKey, value) && !value.empty();
}

std::string downloadFailure(int result) {
    switch (result) {
        case kDownloadCannotOpen:
            return "the download failed (-1: the file could not be created)";
        case kDownloadNoLength:
            return "the download failed (-2: no length obtained)";
        case kDownloadIncomplete:
            return "the download failed (-4: the bytes received differ from the length)";
        default:
            return "the download failed (" + std::to_string(result) + ")";
    }
}

std::string lengthText(std::uint64_t length) {
    return std::to_string(length) + " bytes";
}

void addNetworkItems(MachineReport& row, const AddressFacts& facts) {
    const ProbeAnswer& head = facts.head;
    if (!head.answered) {
        row.items.push_back(item("length", CheckStatus::Fail, "no answer: " + head.error));
        return;
    }
    if (head.status < 200 || head.status > 299) {
        row.items.push_back(item("length", CheckStatus::Fail,
                                 "the length query was answered " + std::to_string(head.status)));
        return;
    }
    if (facts.engineLength == 0) {
        std::string detail = "the length query was answered without a length";
        if (!facts.engineLog.empty()) {
            detail = "the downloader's length query failed (" + facts.engineLog + ")";
        }
        row.items.push_back(item("length", CheckStatus::Fail, detail));
        return;
    }
    row.items.push_back(item("length", CheckStatus::Pass, lengthText(facts.engineLength)));

    const ProbeAnswer& range = facts.range;
    const std::string asked =
        std::to_string(facts.rangeFirst) + "-" + std::to_string(facts.rangeLast);
    const std::uint64_t askedBytes = facts.rangeLast - facts.rangeFirst + 1;
    CheckItem ranges = item("ranges", CheckStatus::Fail, std::string());
    if (!range.answered) {
        ranges.detail = "no answer to a ranged request: " + range.error;
    } else if (range.status == 200) {
        ranges.detail = "a request for bytes " + asked +
                        " was answered 200 with the whole file: the server ignores ranges";
    } else if (range.status != 206) {
        ranges.detail =
            "a request for bytes " + asked + " was answered " + std::to_string(range.status);
    } else if (!range.contentRangeSent) {
        ranges.detail = "206 without a Content-Range";
    } else if (!range.contentRangeValid) {
        ranges.detail = "malformed Content-Range \"" + range.contentRangeText + "\"";
    } else if (range.contentRange.first != facts.rangeFirst ||
               range.contentRange.last != facts.rangeLast) {
        ranges.detail =
            "asked for bytes " + asked + ", got Content-Range \"" + range.contentRangeText + "\"";
    } else if (!range.contentRange.completeLengthKnown ||
               range.contentRange.completeLength != facts.engineLength) {
        ranges.detail = "Content-Range \"" + range.contentRangeText +
                        "\" does not name the length " + std::to_string(facts.engineLength);
    } else if (range.bodyBytes != askedBytes) {
        ranges.detail = "sent " + std::to_string(range.bodyBytes) + " bytes for a range of " +
                        std::to_string(askedBytes);
    } else {
        ranges.status = CheckStatus::Pass;
        ranges.detail = "206, Content-Range \"" + range.contentRangeText + "\"";
    }
    row.items.push_back(ranges);

    const std::string& etag = head.etag.empty() ? range.etag : head.etag;
    if (etag.empty()) {
        row.items.push_back(item("etag", CheckStatus::Warn,
                                 "no ETag: a changed file cannot be told from the old one"));
    } else if (etag.compare(0, 2, "W/") == 0) {
        row.items.push_back(item("etag", CheckStatus::Warn, "only a weak ETag " + etag));
    } else {
        row.items.push_back(item("etag", CheckStatus::Pass, etag));
    }
}

// The digest entry of the row's key, compared with the downloaded file when there is one.
void addDigestItems(MachineReport& row, const std::string& text, const AddressFacts* facts,
                    const CheckSettings& settings) {
    const std::string digestKey = digestKeyFor(row.key);
    std::string entry;
    std::optional<Sha256Digest> expected;
    if (!getManifestValue(text, digestKey.c_str(), entry)) {
        row.items.push_back(
            item("digest", settings.keysGiven ? CheckStatus::Fail : CheckStatus::Warn,
                 "no " + digestKey + " entry" +
                     (settings.keysGiven ? ": a build with keys refuses to run the installer"
                                         : ": the installer is run unchecked")));
    } else {
        Sha256Digest digest{};
        if (!parseSha256Hex(entry, digest)) {
            row.items.push_back(
                item("digest", CheckStatus::Fail, digestKey + " is not 64 hexadecimal digits"));
        } else {
            expected = digest;
        }
    }
    if (!settings.download) {
        if (expected) {
            row.items.push_back(item("digest", CheckStatus::Pass,
                                     digestKey + " is well-formed (not compared: --no-download)"));
        }
        return;
    }
    if (facts == nullptr || !facts->lengthUsable) {
        row.items.push_back(item("download", CheckStatus::Skipped, "not downloaded"));
        return;
    }
    if (!facts->downloadError.empty()) {
        row.items.push_back(item("download", CheckStatus::Fail, facts->downloadError));
        return;
    }
    if (facts->downloadResult != kDownloadOk) {
        row.items.push_back(
            item("download", CheckStatus::Fail, downloadFailure(facts->downloadResult)));
        return;
    }
    row.items.push_back(item("download", CheckStatus::Pass,
                             lengthText(facts->engineLength) + " over " +
                                 std::to_string(kCheckSegments) + " segments, SHA-256 " +
                                 facts->downloadSha256));
    if (expected) {
        if (sha256Hex(*expected) == facts->downloadSha256) {
            row.items.push_back(item("digest", CheckStatus::Pass, "matches " + digestKey));
        } else {
            row.items.push_back(
                item("digest", CheckStatus::Fail,
                     "the file differs from " + digestKey + " (" + sha256Hex(*expected) + ")"));
        }
    }
}

std::optional<Sha256Digest> digestEntry(const std::string& text, const std::string& addressKey) {
    std::string entry;
    Sha256Digest digest{};
    if (getManifestValue(text, digestKeyFor(addressKey).c_str(), entry) &&
        parseSha256Hex(entry, digest)) {
        return digest;
    }
    return std::nullopt;
}

// Why an alternate that the downloader would use does not serve the file of its address, or
// empty when it does.
std::string alternateProblem(const AddressFacts& facts, const AddressFacts* primary,
                             const std::optional<Sha256Digest>& expected,
                             const std::string& digestKey, bool downloaded) {
    if (!facts.lengthUsable) {
        return !facts.head.answered ? "no answer to the length query: " + facts.head.error
               : facts.head.status < 200 || facts.head.status > 299
                   ? "the length query was answered " + std::to_string(facts.head.status)
                   : std::string("the length query was answered without a length");
    }
    if (primary != nullptr && primary->lengthUsable &&
        facts.engineLength != primary->engineLength) {
        return "serves " + lengthText(facts.engineLength) + ", the address " +
               lengthText(primary->engineLength) + ": the downloader never uses it";
    }
    if (!facts.range.answered || facts.range.status != 206 || !facts.range.contentRangeValid ||
        facts.range.contentRange.first != facts.rangeFirst) {
        return "does not answer ranged requests with the bytes asked for";
    }
    if (!downloaded) {
        return std::string();
    }
    if (facts.downloadResult != kDownloadOk || !facts.downloadError.empty()) {
        return facts.downloadError.empty() ? downloadFailure(facts.downloadResult)
                                           : facts.downloadError;
    }
    if (expected && sha256Hex(*expected) != facts.downloadSha256) {
        return "serves other bytes than " + digestKey + " (SHA-256 " + facts.downloadSha256 +
               "): the downloader must fetch the file again from one source at a time";
    }
    if (!expected && primary != nullptr && primary->downloadResult == kDownloadOk &&
        !primary->downloadSha256.empty() && primary->downloadSha256 != facts.downloadSha256) {
        return "serves other bytes than the address (SHA-256 " + facts.downloadSha256 +
               "), and without a digest entry the downloader cannot tell";
    }
    return std::string();
}

// One item per alternate address of the row's key, checked as the downloader would use it.
void addAlternateItems(MachineReport& row, const std::string& text, AddressProber& prober,
                       const AddressFacts* primary, const CheckSettings& settings) {
    const std::optional<Sha256Digest> expected = digestEntry(text, row.key);
    for (int number = 1; number <= kMaxMirrors; ++number) {
        const std::string key = mirrorKey(row.key, number);
        std::string address;
        if (!getManifestValue(text, key.c_str(), address)) {
            continue;
        }
        CheckItem check{"mirror" + std::to_string(number), CheckStatus::Fail, key + " " + address};
        check.alternate = true;
        std::string problem = mirrorProblem(address);
        if (!problem.empty()) {
            problem = "the address " + problem;
        } else if (!row.nt6OrLater && lowerCase(address.substr(0, 6)) == "https:") {
            problem = "Windows before Vista cannot use https here";
        } else {
            std::u16string wide;
            fromUtf8(address, wide);
            const AddressFacts& facts = prober.factsFor(address, *installerFileName(wide));
            problem = alternateProblem(facts, primary, expected, digestKeyFor(row.key),
                                       settings.download);
            if (problem.empty()) {
                check.status = CheckStatus::Pass;
                check.detail += ": " + lengthText(facts.engineLength) +
                                (settings.download ? ", the same bytes" : "");
            }
        }
        if (!problem.empty()) {
            check.detail += ": " + problem;
        }
        row.items.push_back(check);
    }
}

// Addresses that name the same file must serve the same length.
void addMirrorItems(std::vector<MachineReport>& rows,
                    const std::map<std::string, std::u16string>& fileNames,
                    const std::map<std::string, const AddressFacts*>& facts) {
    for (MachineReport& row : rows) {
        const auto own = facts.find(row.key);
        if (own == facts.end() || !own->second->lengthUsable) {
            continue;
        }
        std::string conflict;
        for (const MachineReport& other : rows) {
            const auto theirs = facts.find(other.key);
            if (&other == &row || theirs == facts.end() || !theirs->second->lengthUsable ||
                fileNames.at(other.key) != fileNames.at(row.key)) {
                continue;
            }
            if (theirs->second->engineLength != own->second->engineLength) {
                conflict = toUtf8(fileNames.at(row.key)) + " is " +
                           lengthText(own->second->engineLength) + " here but " +
                           lengthText(theirs->second->engineLength) + " at " + other.key;
                break;
            }
        }
        if (!conflict.empty()) {
            row.items.push_back(item("mirrors", CheckStatus::Fail, conflict));
        }
    }
}

// The address, its file name and its scheme; the file name when the row's address is worth
// asking the network about.
std::optional<std::u16string> judgeAddress(MachineReport& row, const KeyLookup& lookup) {
    if (!lookup.found) {
        row.items.push_back(
            item("address", CheckStatus::Fail,
                 lookup.missingBefore.empty()
                     ? "the downloader does not find " + row.key
                     : "never read: the downloader stops at the missing " + lookup.missingBefore));
        return std::nullopt;
    }
    if (row.address.empty()) {
        row.items.push_back(item("address", CheckStatus::Fail, row.key + " is empty"));
        return std::nullopt;
    }
    row.items.push_back(item("address", CheckStatus::Pass, row.address));

    std::u16string wide;
    std::optional<std::u16string> name;
    if (!fromUtf8(row.address, wide) || holdsControlCharacter(wide)) {
        row.items.push_back(item("name", CheckStatus::Fail,
                                 "the address is not UTF-8 or holds a control character"));
        return std::nullopt;
    }
    if (!(name = installerFileName(wide))) {
        row.items.push_back(
            item("name", CheckStatus::Fail, "the address does not end in a usable file name"));
        return std::nullopt;
    }
    row.items.push_back(item("name", CheckStatus::Pass, toUtf8(*name)));

    const std::string scheme = lowerCase(row.address.substr(0, row.address.find("://")));
    if (scheme == "https" && !row.nt6OrLater) {
        row.items.push_back(item("scheme", CheckStatus::Fail,
                                 "Windows before Vista cannot use https here; give a plain "
                                 "http address"));
        return std::nullopt;
    }
    if (scheme != "https" && scheme != "http") {
        row.items.push_back(
            item("scheme", CheckStatus::Fail, "the address is neither http nor https"));
        return std::nullopt;
    }
    row.items.push_back(
        scheme == "http" && row.nt6OrLater
            ? item("scheme", CheckStatus::Warn, "plain http where the machine could use https")
            : item("scheme", CheckStatus::Pass, scheme));
    return name;
}

}  // namespace

bool MachineReport::installs() const {
    return std::none_of(items.begin(), items.end(), [](const CheckItem& i) {
        return i.status == CheckStatus::Fail && !i.alternate;
    });
}

bool MachineReport::alternatesSound() const {
    return std::none_of(items.begin(), items.end(), [](const CheckItem& i) {
        return i.status == CheckStatus::Fail && i.alternate;
    });
}

bool DeploymentReport::allAlternatesSound() const {
    return std::all_of(machines.begin(), machines.end(),
                       [](const MachineReport& m) { return m.alternatesSound(); });
}

int MachineReport::warnings() const {
    return static_cast<int>(std::count_if(items.begin(), items.end(), [](const CheckItem& i) {
        return i.status == CheckStatus::Warn;
    }));
}

bool DeploymentReport::allInstall() const {
    return std::all_of(machines.begin(), machines.end(),
                       [](const MachineReport& m) { return m.installs(); });
}

DeploymentReport checkDeployment(const std::string& manifestUrl, const std::string& manifest,
                                 const CheckSettings& settings, DownloadObserver& observer) {
    DeploymentReport report;
    report.manifestUrl = manifestUrl;
    std::string text;
    report.signature = signatureItem(manifest, settings, text);

    InstallerAddresses addresses;
    const std::map<std::string, KeyLookup> lookups = lookUpAddresses(text);
    addresses.plain64 = lookups.at("URL_64BIT_SETUP").value;
    addresses.plain32 = lookups.at("URL_32BIT_SETUP").value;
    addresses.tls64 = lookups.at("URL_64BIT_SETUP_SSL").value;
    addresses.tls32 = lookups.at("URL_32BIT_SETUP_SSL").value;

    addresses.arm64 = lookups.at(kArm64AddressKey).value;

    struct Kind {
        const char* label;
        bool wow64;
        bool nt6OrLater;
        bool arm64;
    };
    std::vector<Kind> kinds = {
        {"64-bit, Vista or later", true, true, false},
        {"64-bit, before Vista", true, false, false},
        {"32-bit, Vista or later", false, true, false},
        {"32-bit, before Vista", false, false, false},
    };
    if (namesArm64Installer(text)) {
        kinds.push_back({"ARM64 (Windows 10, 11)", true, true, true});
    }
    AddressProber prober(settings.workDirectory, settings.download, observer);
    std::map<std::string, std::u16string> fileNames;
    std::map<std::string, const AddressFacts*> factsByKey;
    for (const auto& kind : kinds) {
        MachineReport row;
        row.label = kind.label;
        row.wow64 = kind.wow64;
        row.nt6OrLater = kind.nt6OrLater;
        row.arm64 = kind.arm64;
        row.key = kind.arm64 ? kArm64AddressKey : installerAddressKey(kind.wow64, kind.nt6OrLater);
        row.address = kind.arm64 ? addresses.arm64
                                 : chooseInstallerAddress(addresses, kind.wow64, kind.nt6OrLater);
        row.items.push_back(report.signature);
        const std::optional<std::u16string> name = judgeAddress(row, lookups.at(row.key));
        if (name) {
            const AddressFacts& facts = prober.factsFor(row.address, *name);
            fileNames[row.key] = *name;
            factsByKey[row.key] = &facts;
            addNetworkItems(row, facts);
            addDigestItems(row, text, &facts, settings);
            addAlternateItems(row, text, prober, &facts, settings);
        } else {
            addAlternateItems(row, text, prober, nullptr, settings);
        }
        report.machines.push_back(row);
    }
    addMirrorItems(report.machines, fileNames, factsByKey);
    return report;
}
