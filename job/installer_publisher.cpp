#include "job/installer_publisher.h"

#include "support/run_trace.h"
#include "support/text_conversion.h"

namespace {

platform::CodeSigner namedPublisher(const InstallerPublisherSetting& setting) {
    platform::CodeSigner publisher;
    std::u16string organization;
    std::u16string commonName;
    // A name that is not UTF-8 leaves the common name out, and then no installer matches.
    if (fromUtf8(setting.organization, organization) && fromUtf8(setting.commonName, commonName) &&
        !commonName.empty()) {
        if (!organization.empty()) {
            publisher.organizations.push_back(organization);
        }
        publisher.commonNames.push_back(commonName);
    }
    return publisher;
}

std::string joined(const std::vector<std::u16string>& names) {
    std::string text;
    for (const std::u16string& name : names) {
        text += (text.empty() ? "" : ", ") + toUtf8(name);
    }
    return text;
}

void tracePublisher(const char* verdict, const platform::CodeSigner* signer) {
    TraceLine line("publisher");
    line.text("verdict", verdict);
    if (signer != nullptr) {
        line.text("signer_o", joined(signer->organizations))
            .text("signer_cn", joined(signer->commonNames));
    }
}

}  // namespace

const char* publisherRuleText(const InstallerPublisherSetting& setting) {
    switch (setting.source) {
        case InstallerPublisherSetting::Source::Off:
            return "off";
        case InstallerPublisherSetting::Source::Named:
            return "on, the publisher named by the build";
        default:
            return "on, the downloader's own publisher when its signature is trusted";
    }
}

bool isSamePublisher(const platform::CodeSigner& publisher, const platform::CodeSigner& signer) {
    return !publisher.commonNames.empty() && publisher.commonNames == signer.commonNames &&
           publisher.organizations == signer.organizations;
}

InstallerPublisherRule::InstallerPublisherRule(const InstallerPublisherSetting& setting) {
    switch (setting.source) {
        case InstallerPublisherSetting::Source::Off:
            return;
        case InstallerPublisherSetting::Source::Named:
            publisher_ = namedPublisher(setting);
            return;
        case InstallerPublisherSetting::Source::OwnSignature:
            break;
    }
    ownCheckPending_ = true;
    thread_ = platform::Thread::createSuspended(&InstallerPublisherRule::checkOwnSignature, this);
    if (thread_.isValid() && !thread_.resume()) {
        thread_.close();  // never runs: checked on this thread when needed
    }
}

InstallerPublisherRule::~InstallerPublisherRule() {
    platform::Thread::waitForAll({&thread_});
}

std::uint32_t InstallerPublisherRule::checkOwnSignature(void* rule) {
    auto* self = static_cast<InstallerPublisherRule*>(rule);
    self->publisher_ = platform::trustedSignerOfThisProgram();
    self->ownCheckPending_ = false;
    return 0;
}

void InstallerPublisherRule::finishOwnCheck() {
    if (thread_.isValid()) {
        platform::Thread::waitForAll({&thread_});
        thread_.close();
    } else if (ownCheckPending_) {
        checkOwnSignature(this);
    }
}

bool InstallerPublisherRule::accepts(platform::HeldFile& file, const std::u16string& path) {
    finishOwnCheck();
    if (!publisher_) {
        tracePublisher(
            "not checked: the downloader is unsigned, untrusted here, or the rule is off", nullptr);
        return true;
    }
    const std::optional<platform::CodeSigner> signer = platform::trustedCodeSigner(file, path);
    if (!signer) {
        tracePublisher("refused: no valid signature that chains to a trusted root", nullptr);
        return false;
    }
    const bool same = isSamePublisher(*publisher_, *signer);
    tracePublisher(
        same ? "accepted: signed by the publisher" : "refused: signed by another publisher",
        &*signer);
    return same;
}
