#include <gtest/gtest.h>

#include "support/diagnostic_log.h"
#include "support/platform.h"
#include "tests/support/test_environment.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::readFileBytes;
using testing_support::ScopedTemporaryDirectory;

const std::u16string kLogName = u"downloader_log.txt";

TEST(DiagnosticLog, ExactlyOneSeparatorBeforeTheFileName) {
    const char16_t sep = platform::pathSeparator();
    const std::u16string dir = std::u16string(u"base") + sep + u"tmp";
    EXPECT_EQ(logPathIn(dir + sep), dir + sep + kLogName);
    EXPECT_EQ(logPathIn(dir), dir + sep + kLogName);
}

TEST(DiagnosticLog, AppendsMessagesByteForByte) {
    ScopedTemporaryDirectory temp;
    testing_support::writeFileBytes(temp.file(kLogName), "earlier run\n");
    writeLog("Failed to call getData().");
    writeLog("Failed to call getData().");
    writeLog("");
    writeLog("Invalid parameters.\n");
    EXPECT_EQ(
        readFileBytes(temp.file(kLogName)),
        "earlier run\nFailed to call getData().Failed to call getData().Invalid parameters.\n");
}

TEST(DiagnosticLog, EmptyMessageStillCreatesTheFile) {
    ScopedTemporaryDirectory temp;
    writeLog("");
    EXPECT_TRUE(testing_support::fileExists(temp.file(kLogName)));
    EXPECT_EQ(readFileBytes(temp.file(kLogName)), "");
}

TEST(DiagnosticLog, FormatsNumbersWithTheirSign) {
    ScopedTemporaryDirectory temp;
    writeLogFormatted("Failed to call getFileSize():%d\n", 7);
    writeLogFormatted("Failed to call getFileSize():%d\n", -2);
    EXPECT_EQ(readFileBytes(temp.file(kLogName)),
              "Failed to call getFileSize():7\nFailed to call getFileSize():-2\n");
}

struct DelayedRelease {
    platform::File* held;
    std::uint32_t afterMs;
};

std::uint32_t releaseLater(void* argument) {
    auto* release = static_cast<DelayedRelease*>(argument);
    platform::sleepMilliseconds(release->afterMs);
    release->held->close();
    return 0;
}

TEST(DiagnosticLog, WaitsBrieflyForAnotherWriter) {
    ScopedTemporaryDirectory temp;
    platform::File held = platform::File::openExclusive(temp.file(kLogName));
    ASSERT_TRUE(held.isOpen());
    DelayedRelease release{&held, 300};
    platform::Thread releaser = platform::Thread::createSuspended(releaseLater, &release);
    ASSERT_TRUE(releaser.isValid());
    ASSERT_TRUE(releaser.resume());
    writeLog("kept\n");
    platform::Thread::waitForAll({&releaser});
    EXPECT_EQ(readFileBytes(temp.file(kLogName)), "kept\n");
}

TEST(DiagnosticLog, DropsTheMessageWhenTheLogStaysHeld) {
    ScopedTemporaryDirectory temp;
    platform::File held = platform::File::openExclusive(temp.file(kLogName));
    ASSERT_TRUE(held.isOpen());
    const std::uint32_t start = platform::tickCount();
    writeLog("lost\n");
    const std::uint32_t waited = platform::tickCount() - start;
    held.close();
    EXPECT_EQ(readFileBytes(temp.file(kLogName)), "");
    // Bounded: the caller gets control back (about a second of retries).
    EXPECT_LT(waited, 10000u);
}

TEST(DiagnosticLog, MissingDirectoryDropsTheMessageWithoutWaiting) {
    ScopedTemporaryDirectory temp;
    const std::u16string missing = temp.path() + u"missing" + platform::pathSeparator();
    testing_support::setTemporaryDirectoryVariable(missing);
    const std::uint32_t start = platform::tickCount();
    writeLog("nowhere\n");
    // Retrying is for a log held by another writer, not for a directory that is not there.
    EXPECT_LT(platform::tickCount() - start, 500u);
    EXPECT_FALSE(testing_support::fileExists(logPathIn(missing)));
    EXPECT_FALSE(testing_support::fileExists(kLogName));
}

}  // namespace
