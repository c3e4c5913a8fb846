#include "transfer/retry_schedule.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "transfer/retry_after.h"

namespace {

struct WaitCase {
    RetrySteps steps;
    int retry;
    double unit;
    std::uint32_t expectedMs;
};

TEST(RetrySchedule, WaitsGrowWithinTheirStepsUpToTheCap) {
    const RetrySteps steps{2000, 2, 16000};
    const WaitCase cases[] = {
        {steps, 1, 0.0, 1000},
        {steps, 1, 0.999999, 1999},
        {steps, 1, 0.5, 1500},
        {steps, 2, 0.0, 2000},
        {steps, 3, 0.0, 4000},
        {steps, 4, 0.0, 8000},
        {steps, 5, 0.0, 8000},
        {steps, 24, 0.999999, 15999},
        {RetrySteps{2000, 4, 28000}, 3, 0.0, 14000},  // 32 s capped at 28 s
        {RetrySteps{100, 0, 50}, 3, 0.0, 25},         // a factor of 0 grows like 1
        {steps, 2, -1.0, 2000},
        {steps, 2, 7.0, 4000},  // units outside [0, 1) are clamped
    };
    for (const WaitCase& c : cases) {
        EXPECT_EQ(retryWaitMs(c.steps, c.retry, c.unit), c.expectedMs)
            << "retry " << c.retry << " unit " << c.unit;
    }
    EXPECT_EQ(retryCeilingMs(steps, 1000), 16000u);  // no overflow however many retries
}

// Sums of the shortest and longest waits of the first `retries` retries.
std::pair<std::uint64_t, std::uint64_t> waitSums(const RetrySteps& steps, int retries) {
    std::uint64_t shortest = 0;
    std::uint64_t longest = 0;
    for (int retry = 1; retry <= retries; ++retry) {
        shortest += retryWaitMs(steps, retry, 0.0);
        longest += retryCeilingMs(steps, retry);
    }
    return {shortest, longest};
}

TEST(RetrySchedule, TheProductsStepsOutlastTheOutagesTheyAreMadeFor) {
    const TransferLimits limits;
    struct PhaseCase {
        const char* phase;
        RetrySteps steps;
        int retries;
        std::uint64_t outlastedMs;
        std::uint32_t deadlineMs;
    };
    const PhaseCase cases[] = {
        // 25 manifest attempts, 5 length queries, a range's two runs of five.
        {"manifest", limits.manifestRetries, 24, 60000, limits.manifestDeadlineMs},
        {"length", limits.lengthRetries, 4, 30000, limits.lengthDeadlineMs},
        {"ranges", limits.rangeRetries, 9, 60000, limits.downloadStallDeadlineMs},
    };
    for (const PhaseCase& c : cases) {
        EXPECT_LE(retryCeilingMs(c.steps, 1), 2000u) << c.phase;  // a blip costs 2 s at most
        const auto sums = waitSums(c.steps, c.retries);
        EXPECT_GE(sums.first, c.outlastedMs) << c.phase;
        EXPECT_GT(c.deadlineMs, c.outlastedMs + retryCeilingMs(c.steps, c.retries)) << c.phase;
    }
    // At most two manifest requests per 10 s while an outage lasts: the waits of the first
    // five retries alone span 30 s and more on average.
    std::uint64_t average = 0;
    for (int retry = 1; retry <= 5; ++retry) {
        average += (retryWaitMs(limits.manifestRetries, retry, 0.0) +
                    retryCeilingMs(limits.manifestRetries, retry)) /
                   2;
    }
    EXPECT_GE(average, 30000u);
    // Every phase has ended within five minutes.
    EXPECT_LE(limits.manifestDeadlineMs + limits.lengthDeadlineMs + limits.downloadStallDeadlineMs,
              300000u);
}

TEST(RetrySchedule, RetryAfterLengthensTheWaitWithinTheCapAndTheDeadline) {
    struct BoundCase {
        std::uint32_t drawn;
        std::optional<std::uint32_t> asked;
        std::uint32_t msLeft;
        std::uint32_t expected;
    };
    const BoundCase cases[] = {
        {1500, std::nullopt, 60000, 1500}, {1500, 5000, 60000, 5000},
        {8000, 5000, 60000, 8000},         {1500, 300000, 600000, 120000},
        {1500, 90000, 30000, 30000},       {1500, std::nullopt, 1000, 1000},
    };
    for (const BoundCase& c : cases) {
        EXPECT_EQ(boundedWaitMs(c.drawn, c.asked, 120000, c.msLeft), c.expected) << c.drawn;
    }
}

TEST(RetryAfter, SecondsOrADateAgainstTheAnswersDate) {
    const std::time_t now = 1445412480;  // Wed, 21 Oct 2015 07:28:00 GMT
    struct ParseCase {
        const char* value;
        const char* date;
        std::optional<std::uint32_t> expectedMs;
    };
    const ParseCase cases[] = {
        {"5", "", 5000},
        {"0", "", 0},
        {"120", "Wed, 21 Oct 2015 07:00:00 GMT", 120000},
        {"99999999999999999999", "", 86400000},  // read as a day, never wrapped
        {"", "", std::nullopt},
        {"-5", "", std::nullopt},
        {"5s", "", std::nullopt},
        {"1.5", "", std::nullopt},
        {"soon", "", std::nullopt},
        // A date: the difference to the answer's own Date, whatever this machine's clock says.
        {"Wed, 21 Oct 2015 07:28:10 GMT", "Wed, 21 Oct 2015 07:28:00 GMT", 10000},
        {"Thu, 01 Jan 2026 00:00:30 GMT", "Thu, 01 Jan 2026 00:00:00 GMT", 30000},
        {"Wednesday, 21-Oct-15 07:28:07 GMT", "Wed, 21 Oct 2015 07:28:00 GMT", 7000},
        {"Wed Oct 21 07:28:03 2015", "Wed, 21 Oct 2015 07:28:00 GMT", 3000},
        // Without a usable Date, against the clock.
        {"Wed, 21 Oct 2015 07:28:20 GMT", "", 20000},
        {"Wed, 21 Oct 2015 07:28:20 GMT", "yesterday", 20000},
        // Past or now: nothing asked.
        {"Wed, 21 Oct 2015 07:27:00 GMT", "Wed, 21 Oct 2015 07:28:00 GMT", std::nullopt},
        {"Wed, 21 Oct 2015 07:28:00 GMT", "Wed, 21 Oct 2015 07:28:00 GMT", std::nullopt},
    };
    for (const ParseCase& c : cases) {
        EXPECT_EQ(retryAfterMs(c.value, c.date, now), c.expectedMs) << c.value << " / " << c.date;
    }
}

TEST(RetryAfter, OnlyA503OrA429IsHeeded) {
    AnswerHeaders headers;
    const char line[] = "Retry-After: 7\r\n";
    headers.read(line, sizeof line - 1);
    EXPECT_EQ(askedWaitMs(503, headers), std::optional<std::uint32_t>(7000));
    EXPECT_EQ(askedWaitMs(429, headers), std::optional<std::uint32_t>(7000));
    EXPECT_EQ(askedWaitMs(500, headers), std::nullopt);
    EXPECT_EQ(askedWaitMs(200, headers), std::nullopt);
}

TEST(RetryPacer, NoAttemptOnceTheDeadlineHasPassed) {
    RetryPacer over(RetrySteps{10, 2, 40}, 0, 120000);
    EXPECT_FALSE(over.beforeAttempt());
    RetryPacer pacer(RetrySteps{100, 2, 400}, 60000, 120000);
    EXPECT_TRUE(pacer.beforeAttempt());  // the first attempt never waits
    pacer.failed();
    const std::uint32_t before = platform::tickCount();
    EXPECT_TRUE(pacer.beforeAttempt());
    // At least half of the first step, less the tick count's grain on Windows (16 ms).
    EXPECT_GE(platform::tickCount() - before, 50u - 16u);
}

TEST(SourceBackoff, FailuresThatComeTogetherShareOneWait) {
    SourceBackoff backoff(RetrySteps{60000, 2, 240000}, 600000, 120000);
    EXPECT_EQ(backoff.waitBeforeRequest(), std::optional<std::uint32_t>(0));
    backoff.failed();
    const std::uint32_t first = *backoff.waitBeforeRequest();
    EXPECT_GE(first, 29000u);
    EXPECT_LE(first, 60000u);
    backoff.failed();  // another connection's failure during the wait: no second step
    EXPECT_LE(*backoff.waitBeforeRequest(), first);
    backoff.failed(90000);  // but a longer Retry-After lengthens it
    EXPECT_GE(*backoff.waitBeforeRequest(), 89000u);
    backoff.progressed();
    EXPECT_EQ(backoff.waitBeforeRequest(), std::optional<std::uint32_t>(0));
    SourceBackoff over(RetrySteps{10, 2, 40}, 0, 120000);
    EXPECT_EQ(over.waitBeforeRequest(), std::nullopt);
    EXPECT_TRUE(over.deadlinePassed());
}

}  // namespace
