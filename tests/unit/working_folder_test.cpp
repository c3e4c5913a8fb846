#include <gtest/gtest.h>

#include "job/installer_digest.h"
#include "job/working_folder.h"
#include "support/path_join.h"
#include "support/platform.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::fileExists;
using testing_support::ScopedTemporaryDirectory;
using testing_support::writeFileBytes;

TEST(WorkingFolder, EachRunGetsANewFolderThatIsRemovedAfterwards) {
    ScopedTemporaryDirectory temp;
    std::u16string firstPath;
    {
        const WorkingFolder first(temp.path());
        const WorkingFolder second(temp.path());
        ASSERT_TRUE(first.isCreated());
        ASSERT_TRUE(second.isCreated());
        EXPECT_NE(first.path(), second.path());
        EXPECT_EQ(first.path().compare(0, temp.path().size(), temp.path()), 0);
        firstPath = first.path();
        // A second folder at the same name cannot be made: nothing is ever reused.
        EXPECT_FALSE(platform::createPrivateDirectory(firstPath));
        writeFileBytes(joinPath(firstPath, u"setup.exe"), "installer");
        EXPECT_TRUE(platform::removeFile(joinPath(firstPath, u"setup.exe")));
    }
    EXPECT_TRUE(platform::createPrivateDirectory(firstPath));  // it was removed
    EXPECT_TRUE(platform::removeDirectory(firstPath));
}

TEST(WorkingFolder, NoFolderWithoutAParent) {
    ScopedTemporaryDirectory temp;
    EXPECT_FALSE(WorkingFolder(u"").isCreated());
    EXPECT_FALSE(WorkingFolder(joinPath(temp.path(), u"missing")).isCreated());
}

TEST(InstallerDigest, EveryByteCounts) {
    ScopedTemporaryDirectory temp;
    const std::string content(200 * 1024 + 7, 'x');
    const Sha256Digest digest = sha256Of(content);
    std::string flipped = content;
    flipped[150 * 1024] ^= 1;
    struct Row {
        const char* name;
        std::string bytes;
        bool matches;
    };
    const Row rows[] = {
        {"same", content, true},
        {"flipped", flipped, false},
        {"short", content.substr(0, content.size() - 1), false},
        {"long", content + "!", false},
    };
    for (const Row& row : rows) {
        const std::u16string path = temp.file(testing_support::widen(row.name));
        writeFileBytes(path, row.bytes);
        platform::HeldFile held = platform::HeldFile::open(path);
        ASSERT_TRUE(held.isOpen()) << row.name;
        EXPECT_EQ(fileHasDigest(held, digest), row.matches) << row.name;
    }
    EXPECT_FALSE(platform::HeldFile::open(temp.file(u"absent")).isOpen());
    EXPECT_TRUE(fileExists(temp.file(u"same")));
}

}  // namespace
