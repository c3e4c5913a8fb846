#include <gtest/gtest.h>

#include "job/download_cache.h"
#include "job/installer_digest.h"
#include "job/working_folder.h"
#include "support/path_join.h"
#include "support/platform.h"
#include "support/text_conversion.h"
#include "tests/support/test_support.h"

namespace {

using platform::Directory;
using platform::FileOpening;
using testing_support::fileExists;
using testing_support::plant;
using testing_support::Planted;
using testing_support::readFileBytes;
using testing_support::renamePath;
using testing_support::ScopedTemporaryDirectory;
using testing_support::writeFileBytes;

const bool kWindows = platform::pathSeparator() == u'\\';

bool writeThrough(platform::File& file, const std::string& bytes) {
    return file.writeAt(0, bytes.data(), bytes.size());
}

std::string readAll(platform::HeldFile& held) {
    std::string bytes;
    char buffer[4096];
    std::int64_t got;
    while ((got = held.read(buffer, sizeof buffer)) > 0) {
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    return got == 0 ? bytes : "read failed";
}

TEST(WorkingFolder, EachRunGetsANewFolderThatIsRemovedAfterwards) {
    ScopedTemporaryDirectory temp;
    std::u16string firstPath;
    {
        WorkingFolder first(temp.path());
        const WorkingFolder second(temp.path());
        ASSERT_TRUE(first.isCreated());
        ASSERT_TRUE(second.isCreated());
        EXPECT_NE(first.path(), second.path());
        EXPECT_EQ(first.path().compare(0, temp.path().size(), temp.path()), 0);
        firstPath = first.path();
        // A second folder at the same name cannot be made: nothing is ever reused.
        EXPECT_FALSE(Directory::createPrivate(firstPath).isOpen());
        platform::File file = first.folder().openFile(u"setup.exe", FileOpening::CreateNew);
        ASSERT_TRUE(writeThrough(file, "installer"));
        file.close();
        EXPECT_EQ(readFileBytes(joinPath(firstPath, u"setup.exe")), "installer");
        EXPECT_TRUE(first.folder().removeFile(u"setup.exe"));
    }
    EXPECT_FALSE(fileExists(firstPath));
}

TEST(WorkingFolder, NoFolderWithoutAParent) {
    ScopedTemporaryDirectory temp;
    EXPECT_FALSE(WorkingFolder(u"").isCreated());
    EXPECT_FALSE(WorkingFolder(joinPath(temp.path(), u"missing")).isCreated());
}

TEST(Directory, IsCreatedOnlyWhereNothingIsYet) {
    ScopedTemporaryDirectory temp;
    writeFileBytes(temp.file(u"file"), "x");
    ASSERT_TRUE(plant(temp.file(u"folder"), Planted::Directory));
    const bool linked = plant(temp.file(u"link"), Planted::SymbolicLink, temp.file(u"folder"));
    for (const char16_t* taken : {u"file", u"folder", u"link"}) {
        if (std::u16string(taken) == u"link" && !linked) {
            continue;
        }
        EXPECT_FALSE(Directory::createPrivate(temp.file(taken)).isOpen()) << taken;
    }
    EXPECT_FALSE(Directory::createPrivate(temp.file(u"missing") + u"/" + u"below").isOpen());
    const Directory made = Directory::createPrivate(temp.file(u"new"));
    ASSERT_TRUE(made.isOpen());
    EXPECT_EQ(made.path(), temp.file(u"new"));
}

// Every file is opened inside the held folder, and only when it is a regular file of its own.
TEST(Directory, OpensOnlyItsOwnRegularFiles) {
    ScopedTemporaryDirectory temp;
    Directory folder = Directory::createPrivate(temp.file(u"work"));
    ASSERT_TRUE(folder.isOpen());
    const std::u16string inside = folder.path() + platform::pathSeparator();
    writeFileBytes(temp.file(u"outside"), "outside");
    writeFileBytes(inside + u"existing", "existing");
    struct Row {
        const char16_t* name;
        FileOpening how;
        bool opens;
        bool planted;  // false: the platform cannot make this row's object
        bool holds;    // openHeld takes it afterwards
    };
    const Row rows[] = {
        {u"new", FileOpening::CreateNew, true, true, true},
        {u"existing", FileOpening::CreateNew, false, true, true},
        {u"existing", FileOpening::OpenExisting, true, true, true},
        {u"existing", FileOpening::OpenOrCreate, true, true, true},
        {u"missing", FileOpening::OpenExisting, false, true, false},
        {u"created", FileOpening::OpenOrCreate, true, true, true},
        {u"folder", FileOpening::OpenOrCreate, false, plant(inside + u"folder", Planted::Directory),
         false},
        {u"symlink", FileOpening::OpenOrCreate, false,
         plant(inside + u"symlink", Planted::SymbolicLink, temp.file(u"outside")), false},
        {u"hardlink", FileOpening::OpenOrCreate, false,
         plant(inside + u"hardlink", Planted::HardLink, temp.file(u"outside")), false},
        {u"fifo", FileOpening::OpenOrCreate, false, plant(inside + u"fifo", Planted::Fifo), false},
        {u"", FileOpening::OpenOrCreate, false, true, false},
        {u".", FileOpening::OpenOrCreate, false, true, false},
        {u"..", FileOpening::OpenOrCreate, false, true, false},
        {u"folder/x", FileOpening::OpenOrCreate, false, true, false},
        {u"folder\\x", FileOpening::OpenOrCreate, false, kWindows, false},
        {u"existing:stream", FileOpening::OpenOrCreate, false, kWindows, false},
    };
    for (const Row& row : rows) {
        if (!row.planted) {
            continue;
        }
        const std::string name = toUtf8(row.name);
        platform::File file = folder.openFile(row.name, row.how);
        EXPECT_EQ(file.isOpen(), row.opens) << name;
        if (file.isOpen()) {
            bool heldElsewhere = false;
            EXPECT_FALSE(
                folder.openFile(row.name, FileOpening::OpenExisting, &heldElsewhere).isOpen())
                << name;
            EXPECT_TRUE(heldElsewhere) << name;
        }
        file.close();
        EXPECT_EQ(folder.openHeld(row.name).isOpen(), row.holds) << name;
    }
    EXPECT_EQ(readFileBytes(temp.file(u"outside")), "outside");
}

TEST(Directory, HeldFileIsTheOneWrittenAndNobodyChangesIt) {
    ScopedTemporaryDirectory temp;
    Directory folder = Directory::createPrivate(temp.file(u"work"));
    ASSERT_TRUE(folder.isOpen());
    platform::File file = folder.openFile(u"setup.exe", FileOpening::CreateNew);
    ASSERT_TRUE(writeThrough(file, "genuine installer"));
    platform::HeldFile held = folder.openHeld(u"setup.exe", &file);
    EXPECT_FALSE(file.isOpen());
    ASSERT_TRUE(held.isOpen());
    EXPECT_EQ(readAll(held), "genuine installer");
    // Windows: the handle denies writing and deleting to everyone, this process included.
    // POSIX: nobody but this account may enter the folder; the writer's lock is gone.
    EXPECT_EQ(folder.openFile(u"setup.exe", FileOpening::OpenExisting).isOpen(), !kWindows);
    EXPECT_EQ(folder.removeFile(u"setup.exe"), !kWindows);
    held.close();
    folder.removeFile(u"setup.exe");
    EXPECT_FALSE(folder.openHeld(u"setup.exe").isOpen());
}

TEST(Directory, RemovesOnlyTheFolderItHolds) {
    ScopedTemporaryDirectory temp;
    const std::u16string path = temp.file(u"work");
    Directory folder = Directory::createPrivate(path);
    ASSERT_TRUE(folder.isOpen());
    // Windows: a held folder cannot be renamed. POSIX: it can, by whoever may write to its
    // parent, but files are still made in the held folder and the name's new owner keeps it.
    const bool renamed = renamePath(path, temp.file(u"moved"));
    EXPECT_EQ(renamed, !kWindows);
    if (renamed) {
        ASSERT_TRUE(plant(path, Planted::Directory));
    }
    platform::File file = folder.openFile(u"setup.exe", FileOpening::CreateNew);
    ASSERT_TRUE(file.isOpen());
    file.close();
    EXPECT_EQ(fileExists(temp.file(u"moved") + u"/setup.exe"), renamed);
    EXPECT_EQ(fileExists(path + platform::pathSeparator() + u"setup.exe"), !renamed);
    EXPECT_FALSE(folder.removeSelf());  // not empty
    folder = renamed ? Directory::openExistingPrivate(temp.file(u"moved"))
                     : Directory::openExistingPrivate(path);
    ASSERT_TRUE(folder.isOpen());
    EXPECT_TRUE(folder.removeFile(u"setup.exe"));
    EXPECT_FALSE(folder.removeFile(u"setup.exe"));
    EXPECT_TRUE(folder.removeSelf());
    EXPECT_FALSE(folder.isOpen());
    EXPECT_FALSE(fileExists(renamed ? temp.file(u"moved") : path));
    EXPECT_EQ(fileExists(path), renamed);
}

TEST(Directory, OpensExistingFoldersOnlyWhenPrivate) {
    ScopedTemporaryDirectory temp;
    ASSERT_TRUE(Directory::createPrivate(temp.file(u"private")).isOpen());
    writeFileBytes(temp.file(u"file"), "x");
    struct Row {
        const char16_t* name;
        bool opens;
        bool planted;
    };
    const Row rows[] = {
        {u"private", true, true},
        {u"missing", false, true},
        {u"file", false, true},
        {u"link", false, plant(temp.file(u"link"), Planted::SymbolicLink, temp.file(u"private"))},
        {u"shared", false, plant(temp.file(u"shared"), Planted::SharedDirectory)},
    };
    for (const Row& row : rows) {
        if (row.planted) {
            EXPECT_EQ(Directory::openExistingPrivate(temp.file(row.name)).isOpen(), row.opens)
                << toUtf8(row.name);
        }
    }
}

TEST(InstallerDigest, EveryByteCounts) {
    ScopedTemporaryDirectory temp;
    Directory folder = Directory::createPrivate(temp.file(u"work"));
    ASSERT_TRUE(folder.isOpen());
    const std::string content(200 * 1024 + 7, 'x');
    const Sha256Digest digest = sha256Of(content);
    std::string flipped = content;
    flipped[150 * 1024] ^= 1;
    struct Row {
        const char16_t* name;
        std::string bytes;
        bool matches;
    };
    const Row rows[] = {
        {u"same", content, true},
        {u"flipped", flipped, false},
        {u"short", content.substr(0, content.size() - 1), false},
        {u"long", content + "!", false},
    };
    for (const Row& row : rows) {
        platform::File file = folder.openFile(row.name, FileOpening::CreateNew);
        ASSERT_TRUE(writeThrough(file, row.bytes));
        platform::HeldFile held = folder.openHeld(row.name, &file);
        ASSERT_TRUE(held.isOpen());
        EXPECT_EQ(fileHasDigest(held, digest), row.matches);
    }
    EXPECT_FALSE(folder.openHeld(u"absent").isOpen());
}

// A run killed while saving its record leaves the new record beside the old; whichever way
// the next run ends with the entry, nothing of it stays in the cache.
TEST(DownloadCache, AHalfSavedRecordGoesWithItsEntry) {
    for (const bool installed : {true, false}) {
        ScopedTemporaryDirectory temp;
        const std::u16string cachePath = joinPath(temp.path(), kDownloadCacheFolderName);
        const std::string url = "http://127.0.0.1/setup.exe";
        const std::string ascii = cacheEntryName("", url);
        const std::u16string name(ascii.begin(), ascii.end());
        {
            DownloadCache cache(temp.path());
            ASSERT_TRUE(cache.isOpen());
            writeFileBytes(joinPath(cachePath, name + u".rec.new"), "length 1\n");
            CacheEntry entry(cache.folder(), "", url);
            ASSERT_TRUE(entry.isOpen());
            Directory work = Directory::createPrivate(temp.file(u"work"));
            if (installed) {
                ASSERT_TRUE(entry.moveInto(work, u"setup.exe"));
                entry.file().close();
                EXPECT_TRUE(work.removeFile(u"setup.exe"));
            } else {
                entry.discard();
            }
        }
        EXPECT_FALSE(fileExists(cachePath)) << installed;
    }
}

}  // namespace
