#include <gtest/gtest.h>

#include "job/installer_command_line.h"
#include "job/installer_file_name.h"
#include "support/text_conversion.h"
#include "support/windows_command_line.h"

namespace {

std::u16string nameOf(const std::u16string& address) {
    return installerFileName(address).value_or(u"<refused>");
}

TEST(InstallerFileName, LastPathSegmentWithoutQueryOrFragment) {
    EXPECT_EQ(nameOf(u"http://host/files/setup.exe"), u"setup.exe");
    EXPECT_EQ(nameOf(u"http://host/files/setup.exe?v=2"), u"setup.exe");
    EXPECT_EQ(nameOf(u"http://host/setup.exe#top"), u"setup.exe");
    EXPECT_EQ(nameOf(u"http://host/a?next=/b/c.exe"), u"a");
    EXPECT_EQ(nameOf(u"setup.exe"), u"setup.exe");
}

TEST(InstallerFileName, EscapesAreDecodedBeforeTheChecks) {
    const struct {
        const char16_t* address;
        const char16_t* name;
    } cases[] = {
        {u"http://host/%E6%97%A5%20Setup.exe", u"\u65E5 Setup.exe"},
        {u"http://host/a%2fb/%41%62c.exe?x=%2F", u"Abc.exe"},
        {u"http://host/100%.exe", u"100%.exe"},
        {u"http://host/%4.exe", u"%4.exe"},
        {u"http://host/%252F.exe", u"%2F.exe"},
        {u"http://host/%2E%2E", u"<refused>"},
        {u"http://host/x%2Fsetup", u"<refused>"},
        {u"http://host/x%2fsetup", u"<refused>"},
        {u"http://host/..%5Cevil.exe", u"<refused>"},
        {u"http://host/evil.exe%00.txt", u"<refused>"},
        {u"http://host/setup.exe%20", u"<refused>"},
        {u"http://host/setup%3A.exe", u"<refused>"},
        {u"http://host/NUL%2Etxt", u"<refused>"},
        {u"http://host/%E9.exe", u"<refused>"},  // no UTF-8
    };
    for (const auto& c : cases) {
        EXPECT_EQ(nameOf(c.address), c.name) << toUtf8(c.address);
    }
}

TEST(InstallerFileName, RefusesNamesThatCouldLeaveTheDirectory) {
    EXPECT_EQ(nameOf(u"http://host/files/"), u"<refused>");
    EXPECT_EQ(nameOf(u"http://host/.."), u"<refused>");
    EXPECT_EQ(nameOf(u"http://host/."), u"<refused>");
    EXPECT_EQ(nameOf(u"http://host/..\\..\\evil.exe"), u"<refused>");
    EXPECT_EQ(nameOf(u"http://host/c:evil.exe"), u"<refused>");
    EXPECT_EQ(nameOf(u"http://host/a|b"), u"<refused>");
    EXPECT_EQ(nameOf(u"http://host/a\"b"), u"<refused>");
    EXPECT_EQ(nameOf(u"http://host/a\tb"), u"<refused>");
    EXPECT_EQ(nameOf(u""), u"<refused>");
    EXPECT_EQ(nameOf(u"?x"), u"<refused>");
    EXPECT_EQ(nameOf(u"http://host/setup.exe."), u"<refused>");
    EXPECT_EQ(nameOf(u"http://host/setup.exe "), u"<refused>");
    EXPECT_EQ(nameOf(u"http://host/..."), u"<refused>");
}

TEST(InstallerFileName, RefusesDeviceNames) {
    const char16_t* const devices[] = {
        u"CON",         u"nul.exe",       u"Com1",          u"lpt9.txt",
        u"COM\u00B9",   u"com\u00B2.exe", u"LPT\u00B3",     u"lpt\u00B9.txt",
        u"CONIN$",      u"conout$.log",   u"NUL .txt",      u"con  .exe",
        u"AUX .tar.gz", u"N%55L.exe",     u"COM%C2%B9.exe", u"CONIN%24",
    };
    for (const char16_t* device : devices) {
        EXPECT_EQ(nameOf(std::u16string(u"http://host/") + device), u"<refused>") << toUtf8(device);
    }
    const char16_t* const ordinary[] = {u"console.exe", u"COM10.exe",     u"com0",
                                        u"COM\u2074",   u"LPT\u2070.exe", u"CONIN",
                                        u"CONOUT$1",    u" NUL.txt",      u"NULL .txt"};
    for (const char16_t* name : ordinary) {
        EXPECT_EQ(nameOf(std::u16string(u"http://host/") + name), name) << toUtf8(name);
    }
}

RunOptions optionsWith(int silent, int verySilent, std::u16string directory,
                       std::u16string language) {
    RunOptions options;
    options.silent = silent;
    options.verySilent = verySilent;
    options.targetDirectory = std::move(directory);
    options.language = std::move(language);
    return options;
}

TEST(InstallerCommandLine, SwitchesInOrder) {
    EXPECT_EQ(installerCommandLine(u"C:\\Temp\\setup.exe",
                                   optionsWith(0, 1, u"C:\\Program Files\\App", u"en")),
              u"\"C:\\Temp\\setup.exe\" /VERYSILENT /DIR=\"C:\\Program Files\\App\" /LANG=en");
    EXPECT_EQ(installerCommandLine(u"C:\\T\\s.exe", optionsWith(1, 0, u"D:\\x", u"")),
              u"\"C:\\T\\s.exe\" /SILENT /DIR=\"D:\\x\" /LANG=");
    EXPECT_EQ(installerCommandLine(u"s.exe", optionsWith(1, 1, u"d", u"de")),
              u"\"s.exe\" /VERYSILENT /DIR=\"d\" /LANG=de");
    EXPECT_EQ(installerCommandLine(u"s.exe", optionsWith(1, 0, u"D:\\", u"pt BR")),
              u"\"s.exe\" /SILENT /DIR=\"D:\"\\ /LANG=\"pt BR\"");
}

TEST(InstallerCommandLine, SplitsBackIntoTheIntendedArguments) {
    const std::u16string line =
        installerCommandLine(u"C:\\Users\\Jane Doe\\Temp\\setup.exe",
                             optionsWith(0, 1, u"C:\\Program Files\\App", u"en"));
    const std::vector<std::u16string> expected = {u"C:\\Users\\Jane Doe\\Temp\\setup.exe",
                                                  u"/VERYSILENT", u"/DIR=C:\\Program Files\\App",
                                                  u"/LANG=en"};
    EXPECT_EQ(splitWindowsCommandLine(line), expected);
}

// How installers with their own argument reader split a line: every quote toggles quoting,
// backslashes are plain characters.
std::vector<std::u16string> splitTogglingQuotes(const std::u16string& line) {
    std::vector<std::u16string> arguments;
    std::u16string current;
    bool quoted = false;
    bool inArgument = false;
    for (char16_t c : line) {
        if (c == u'"') {
            quoted = !quoted;
            inArgument = true;
        } else if (!quoted && (c == u' ' || c == u'\t')) {
            if (inArgument) {
                arguments.push_back(current);
            }
            current.clear();
            inArgument = false;
        } else {
            current.push_back(c);
            inArgument = true;
        }
    }
    if (inArgument) {
        arguments.push_back(current);
    }
    return arguments;
}

TEST(InstallerCommandLine, BothParsersReadBackTheDirectoryAndLanguage) {
    const struct {
        std::u16string directory;
        std::u16string language;
        std::u16string readDirectory;
        std::u16string readLanguage;
    } cases[] = {
        {u"D:\\", u"en", u"D:\\", u"en"},
        {u"C:\\Program Files\\App\\", u"en", u"C:\\Program Files\\App\\", u"en"},
        {u"\\\\server\\share\\\\", u"de", u"\\\\server\\share\\\\", u"de"},
        {u"\\", u"", u"\\", u""},
        {u"C:\\x", u"pt BR", u"C:\\x", u"pt BR"},
        {u"C:\\x", u"en\" /DIR=\"C:\\evil", u"C:\\x", u"en /DIR=C:\\evil"},
        {u"C:\\x", u"\"", u"C:\\x", u""},
        {u"C:\\x", u"a\\", u"C:\\x", u"a\\"},
        {u"C:\\x", u"b c\\\\", u"C:\\x", u"b c\\\\"},
        {u"C:\\a\"b\\", u"en", u"C:\\ab\\", u"en"},
        {u"", u"en", u"", u"en"},
    };
    const std::u16string path = u"C:\\Users\\Jane Doe\\Temp\\setup.exe";
    for (const auto& c : cases) {
        const std::u16string line =
            installerCommandLine(path, optionsWith(1, 0, c.directory, c.language));
        const std::vector<std::u16string> expected = {path, u"/SILENT", u"/DIR=" + c.readDirectory,
                                                      u"/LANG=" + c.readLanguage};
        EXPECT_EQ(splitWindowsCommandLine(line), expected) << toUtf8(line);
        EXPECT_EQ(splitTogglingQuotes(line), expected) << toUtf8(line);
    }
}

TEST(WindowsCommandLine, RuntimeQuotingRules) {
    using Args = std::vector<std::u16string>;
    EXPECT_EQ(splitWindowsCommandLine(u"prog a  b\tc"), (Args{u"prog", u"a", u"b", u"c"}));
    EXPECT_EQ(splitWindowsCommandLine(u"prog \"a b\" c\"d e\"f"),
              (Args{u"prog", u"a b", u"cd ef"}));
    EXPECT_EQ(splitWindowsCommandLine(u"prog a\\\\\"b c\""), (Args{u"prog", u"a\\b c"}));
    EXPECT_EQ(splitWindowsCommandLine(u"prog a\\\\\\\"b"), (Args{u"prog", u"a\\\"b"}));
    EXPECT_EQ(splitWindowsCommandLine(u"prog a\\b\\"), (Args{u"prog", u"a\\b\\"}));
    EXPECT_EQ(splitWindowsCommandLine(u"prog \"a\"\"b\""), (Args{u"prog", u"a\"b"}));
    EXPECT_EQ(splitWindowsCommandLine(u"prog \"\""), (Args{u"prog", u""}));
    // The program name takes no escapes.
    EXPECT_EQ(splitWindowsCommandLine(u"\"C:\\a b\\p.exe\" x"), (Args{u"C:\\a b\\p.exe", u"x"}));
    EXPECT_EQ(splitWindowsCommandLine(u"C:\\a\\\"p x"), (Args{u"C:\\a\\\"p", u"x"}));
    EXPECT_EQ(splitWindowsCommandLine(u"   "), Args{});
}

}  // namespace
