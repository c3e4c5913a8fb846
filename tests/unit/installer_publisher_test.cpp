#include <gtest/gtest.h>

#include "job/installer_publisher.h"

namespace {

platform::CodeSigner signer(std::vector<std::u16string> organizations,
                            std::vector<std::u16string> commonNames) {
    return platform::CodeSigner{std::move(organizations), std::move(commonNames)};
}

TEST(InstallerPublisher, SameOrganisationsAndCommonNamesExactly) {
    const platform::CodeSigner velmora = signer({u"Velmora Ltd"}, {u"Velmora Ltd"});
    const struct {
        const char* what;
        platform::CodeSigner publisher;
        platform::CodeSigner signer;
        bool same;
    } cases[] = {
        {"the same names (a renewed certificate)", velmora, velmora, true},
        {"another common name", velmora, signer({u"Velmora Ltd"}, {u"Velmora Labs"}), false},
        {"another organisation", velmora, signer({u"Velmora Inc"}, {u"Velmora Ltd"}), false},
        {"no organisation", velmora, signer({}, {u"Velmora Ltd"}), false},
        {"an organisation more", velmora, signer({u"Velmora Ltd", u"Evil"}, {u"Velmora Ltd"}),
         false},
        {"a common name more", velmora, signer({u"Velmora Ltd"}, {u"Velmora Ltd", u"Evil"}), false},
        {"other case", velmora, signer({u"velmora ltd"}, {u"Velmora Ltd"}), false},
        {"a trailing blank", velmora, signer({u"Velmora Ltd"}, {u"Velmora Ltd "}), false},
        {"both without organisation", signer({}, {u"Jane Doe"}), signer({}, {u"Jane Doe"}), true},
        {"several names in order", signer({u"A", u"B"}, {u"C"}), signer({u"A", u"B"}, {u"C"}),
         true},
        {"several names reordered", signer({u"A", u"B"}, {u"C"}), signer({u"B", u"A"}, {u"C"}),
         false},
        {"a publisher without common name", signer({u"Velmora Ltd"}, {}),
         signer({u"Velmora Ltd"}, {}), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isSamePublisher(c.publisher, c.signer), c.same) << c.what;
    }
}

// The unit tests are not signed (and natively nothing is), and a file that is not held has no
// signer: a named publisher refuses it, the other settings apply no rule at all.
TEST(InstallerPublisher, RuleWithoutSignatures) {
    const struct {
        InstallerPublisherSetting setting;
        bool accepts;
    } cases[] = {
        {{InstallerPublisherSetting::Source::OwnSignature, "", ""}, true},
        {{InstallerPublisherSetting::Source::Off, "", ""}, true},
        {{InstallerPublisherSetting::Source::Named, "Velmora Ltd", "Velmora Ltd"}, false},
        {{InstallerPublisherSetting::Source::Named, "", "\xff"}, false},
    };
    for (const auto& c : cases) {
        InstallerPublisherRule rule(c.setting);
        platform::HeldFile notHeld;
        EXPECT_EQ(rule.accepts(notHeld, u"setup.exe"), c.accepts)
            << static_cast<int>(c.setting.source) << " " << c.setting.commonName;
    }
}

}  // namespace
