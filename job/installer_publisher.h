// Whose installers may run: the build's choice of publisher, and the check of a downloaded
// installer's Authenticode signature against it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "support/platform.h"

// How a build names the publisher whose installers may run (cmake/installer_publisher.cmake).
struct InstallerPublisherSetting {
    enum class Source {
        OwnSignature,  // the downloader's own signer, when its signature is trusted
        Named,         // the organisation and common name below, whatever signed the downloader
        Off,           // installers run unsigned, as they did before the rule
    };
    Source source = Source::OwnSignature;
    std::string organization;  // UTF-8, Named only; empty for a subject without one
    std::string commonName;    // UTF-8, Named only
};

// What the support trace says of the setting.
const char* publisherRuleText(const InstallerPublisherSetting& setting);

// True when `signer` is `publisher`: the same organisations and the same common names, in the
// same order, as exact text (a renewed certificate keeps them). A publisher without a common
// name matches no one.
bool isSamePublisher(const platform::CodeSigner& publisher, const platform::CodeSigner& signer);

// The rule of one run. With OwnSignature the downloader's own signature is checked on a thread
// that the constructor starts, so that no request waits for it; an unsigned downloader (or one
// whose signature this machine does not trust) runs installers as before.
class InstallerPublisherRule {
public:
    explicit InstallerPublisherRule(const InstallerPublisherSetting& setting);
    ~InstallerPublisherRule();  // waits for the thread, which uses this object
    InstallerPublisherRule(const InstallerPublisherRule&) = delete;
    InstallerPublisherRule& operator=(const InstallerPublisherRule&) = delete;

    // True when the installer held in `file` (held at `path`) may run: always when the rule does
    // not apply, otherwise only when its signature is trusted (platform::trustedCodeSigner) and
    // its signer is the publisher. Waits for the downloader's own check first.
    bool accepts(platform::HeldFile& file, const std::u16string& path);

private:
    static std::uint32_t checkOwnSignature(void* rule);
    void finishOwnCheck();

    std::optional<platform::CodeSigner> publisher_;  // none: the rule does not apply
    platform::Thread thread_;
    bool ownCheckPending_ = false;  // not run yet: no thread could be started for it
};
