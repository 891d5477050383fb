#include "support/log.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

// One message stream through the filter, in time order: each message passes at most once a
// second, and its next line counts what was dropped in between.
TEST(RepeatFilterTest, PassesEachMessageAtMostOncePerSecond) {
    const struct {
        std::chrono::milliseconds At;
        const char* Text;
        const char* Written; // nullptr: dropped
    } rows[] = {
        {0ms, "server gone", "server gone"},
        {10ms, "server gone", nullptr},
        {20ms, "other", "other"},
        {999ms, "server gone", nullptr},
        {1000ms, "server gone", "server gone (2 repeats dropped)"},
        {1500ms, "server gone", nullptr},
        {2000ms, "server gone", "server gone (1 repeat dropped)"},
        {5000ms, "server gone", "server gone"},
        {5000ms, "other", "other"},
    };
    TRepeatFilter filter;
    const TRepeatFilter::TClock::time_point start{};
    for (const auto& row : rows) {
        const std::optional<std::string> line = filter.Pass(row.Text, start + row.At);
        EXPECT_EQ(line.value_or("(dropped)"), row.Written ? row.Written : "(dropped)")
            << row.Text << " at " << row.At.count() << " ms";
    }
}

// A terminal reads the time stamp and the station; the journal stamps the time itself and
// reads the priority off the front of the line.
TEST(LogLineTest, CarriesTheStationAndForTheJournalThePriority) {
    const struct {
        TLogLevel Level;
        bool Journal;
        const char* Written;
    } rows[] = {
        {TLogLevel::Info, false, "2026-12-07 10:00:00.000 studio2: Run 1 started\n"},
        {TLogLevel::Error, false, "2026-12-07 10:00:00.000 studio2: Run 1 started\n"},
        {TLogLevel::Error, true, "<3>studio2: Run 1 started\n"},
        {TLogLevel::Warning, true, "<4>studio2: Run 1 started\n"},
        {TLogLevel::Info, true, "<6>studio2: Run 1 started\n"},
        {TLogLevel::Debug, true, "<7>studio2: Run 1 started\n"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(LogLine(row.Journal ? "" : "2026-12-07 10:00:00.000", "studio2", row.Level,
                          "Run 1 started", row.Journal),
                  row.Written);
}

} // namespace
