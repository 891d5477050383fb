#include "audio/handover.h"
#include "audio/helddelay.h"

#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t Rate = 48000;
const THeldLayout Layout{Rate, 2, 2, Rate, Rate};
constexpr int64_t Second = 1000000000;
const TWaveFormat HeldFormat{WaveFormatPcm, 2, Rate, Rate * 4, 4, 16, 0};

class HeldDelayTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        qputenv("RUNTIME_DIRECTORY", Dir.path().toUtf8());
        Path = THeldDelayFile::PathFor("Station");
    }
    void TearDown() override { qunsetenv("RUNTIME_DIRECTORY"); }

    // A held delay as the input leaves it: buffer 1 filled from programme frame 1000 with
    // 30000 frames, the newest captured half a second (half the delay) before now.
    THeldDelayFile Fill(int64_t nowNs) const {
        THeldDelayFile file = THeldDelayFile::Take(Path, Layout);
        EXPECT_TRUE(file.Data() && !file.Resumed());
        THeldHeader& header = file.Header();
        header.RecordBegin(1, 1000);
        header.RecordMark({1000, 77000, nowNs - Second / 2 - 29999 * Second / Rate});
        header.RecordFilled(31000);
        return file;
    }

    QTemporaryDir Dir;
    std::string Path;
};

// Each damaged, stale or foreign header is refused with its reason; only the sound one is
// resumed, and not while another program holds it.
TEST_F(HeldDelayTest, RefusesEveryHeaderItCannotResume) {
    const int64_t now = BootTimeNs();
    const THeldDelayFile file = Fill(now);
    EXPECT_EQ(THeldDelayFile::Take(Path, Layout).Refusal(), "in use by another Lagvane");
    const size_t bytes = THeldDelayFile::BytesFor(Layout);
    const struct {
        const char* Name;
        std::function<void(THeldHeader&)> Damage;
        size_t FileBytes;
        THeldLayout Wanted;
        std::string Boot;
        int64_t Now;
        const char* Refusal;
    } rows[] = {
        {"sound", {}, bytes, Layout, BootId(), now, ""},
        {"no magic", [](THeldHeader& h) { h.Magic[0] = 'X'; }, bytes, Layout, BootId(), now,
         "not a held delay"},
        {"too short", {}, 100, Layout, BootId(), now, "not a held delay"},
        {"another version", [](THeldHeader& h) { h.Version = THeldHeader::CurrentVersion + 1; },
         bytes, Layout, BootId(), now, "made by another version"},
        {"layout changed", [](THeldHeader& h) { h.Layout.DelayFrames = 1; }, bytes, Layout,
         BootId(), now, "damaged"},
        {"cut short", {}, bytes - 4, Layout, BootId(), now, "damaged"},
        {"earlier boot", {}, bytes, Layout, "another-boot", now, "from an earlier boot"},
        {"another rate", {}, bytes, {44100, 2, 2, Rate, Rate}, BootId(), now, "another format"},
        {"mono", {}, bytes, {Rate, 2, 1, Rate, Rate}, BootId(), now, "another format"},
        {"another delay",
         {},
         bytes,
         {Rate, 2, 2, Rate / 2, Rate / 2},
         BootId(),
         now,
         "another delay"},
        {"nothing written", [](THeldHeader& h) { h.Filled = 0; }, bytes, Layout, BootId(), now,
         "empty"},
        {"mark past the end", [](THeldHeader& h) { h.MarkRing[0].Frame = 40000; }, bytes, Layout,
         BootId(), now, "damaged"},
        {"dumped past the end", [](THeldHeader& h) { h.DumpedTo = 40000; }, bytes, Layout, BootId(),
         now, "damaged"},
        {"captured in the future", {}, bytes, Layout, BootId(), now - Second, "damaged"},
        {"older than the delay", {}, bytes, Layout, BootId(), now + Second, "older than the delay"},
    };
    for (const auto& row : rows) {
        std::vector<char> copy(file.Data(), file.Data() + 4096);
        auto& header = *reinterpret_cast<THeldHeader*>(copy.data());
        if (row.Damage)
            row.Damage(header);
        EXPECT_EQ(THeldDelayFile::RefusalOf(header, row.FileBytes, row.Wanted, row.Boot, row.Now),
                  row.Refusal)
            << row.Name;
    }
}

// A server that started again counts its frames from nothing: what was held goes on air one
// delay after its capture on the new clock, placed by the time stamps and a little late, and
// what fell due before the clock began is not waited for.
TEST_F(HeldDelayTest, PlacesWhatWasHeldOnAClockThatStartedAgain) {
    Fill(BootTimeNs());
    const THeldDelayFile held = THeldDelayFile::Take(Path, Layout);
    ASSERT_TRUE(held.Resumed()) << held.Refusal();
    const int64_t newestNs = held.Held().NewestNs();
    THandOver link(THandOver::TTiming::SharedClock, 0, HeldFormat, true, TBuildUp{10.0, false});
    link.KeepHeld(held);
    constexpr uint64_t Start = 100;
    constexpr uint32_t Period = 256;
    const auto dueAt = [&](int64_t wroteNs) {
        const int64_t liveNs = wroteNs - int64_t(Period) * Second / Rate;
        return int64_t(Start) + (newestNs - liveNs) * Rate / Second + Rate + Rate / 50;
    };
    const int64_t latest = dueAt(BootTimeNs());
    link.Wrote(Period, Start);
    const int64_t earliest = dueAt(BootTimeNs());
    const auto newest = int64_t(link.DueOf(30999));
    EXPECT_GE(newest, earliest - 1);
    EXPECT_LE(newest, latest + 1);
    EXPECT_EQ(link.DueOf(30999 - uint64_t(newest)), 0u);
}

// A run killed while it built the delay up again after a dump: what the dump took off the air,
// and what aired before it, never airs again; the rest is due where it was.
TEST_F(HeldDelayTest, KeepsWhatADumpTookOffTheAirOff) {
    constexpr uint64_t DumpedTo = 20000;
    for (const bool dumped : {false, true}) {
        {
            THeldDelayFile file = Fill(BootTimeNs());
            if (dumped)
                file.Header().RecordDump(DumpedTo);
        }
        {
            const THeldDelayFile held = THeldDelayFile::Take(Path, Layout);
            ASSERT_TRUE(held.Resumed()) << held.Refusal();
            THandOver link(THandOver::TTiming::SharedClock, 0, HeldFormat, true,
                           TBuildUp{10.0, false});
            link.KeepHeld(held);
            link.Wrote(256, 100);
            const uint64_t first = link.FirstDueFrom(0, 31000);
            if (dumped)
                EXPECT_EQ(first, DumpedTo);
            else
                EXPECT_LT(first, DumpedTo);
            EXPECT_EQ(link.DueOf(30999) - link.DueOf(DumpedTo), 30999 - DumpedTo) << dumped;
        }
        // Once the run that took it has ended, as a Stop ends it.
        THeldDelayFile::Discard(Path);
    }
}

// Runs killed one after another soon after they start leave all four buffers holding
// programme: the input fills the oldest one again at once, without waiting for the output to
// play what the held programme never will, and what of it was still to air is counted lost.
TEST_F(HeldDelayTest, ResumesWhenAllFourBuffersHoldProgramme) {
    constexpr uint32_t Stretch = 1000;
    const int64_t newestNs = BootTimeNs() - Second / 10;
    {
        THeldDelayFile file = THeldDelayFile::Take(Path, Layout);
        THeldHeader& header = file.Header();
        for (int stretch = 0; stretch < 4; ++stretch)
            header.RecordBegin((stretch + 2) % 4, uint64_t(stretch) * Stretch);
        header.RecordMark({0, 5000, newestNs - int64_t(4 * Stretch - 1) * Second / Rate});
        header.RecordFilled(4 * Stretch);
    }
    const THeldDelayFile held = THeldDelayFile::Take(Path, Layout);
    ASSERT_TRUE(held.Resumed()) << held.Refusal();
    EXPECT_EQ(held.Held().StretchCount, 3);
    EXPECT_EQ(held.Held().NextBuffer, 2);
    THandOver link(THandOver::TTiming::SharedClock, 0, HeldFormat, true, TBuildUp{10.0, false});
    link.KeepHeld(held);
    ASSERT_FALSE(link.Holds(held.Buffer(2)));
    ASSERT_TRUE(link.Begin(held.Buffer(2), Rate));
    constexpr uint32_t Period = 256;
    const auto downtime = [&](int64_t wroteNs) {
        const int64_t liveNs = wroteNs - int64_t(Period) * Second / Rate;
        return (liveNs - newestNs) * Rate / Second - 1 - Rate / 50;
    };
    const int64_t least = downtime(BootTimeNs());
    link.Wrote(Period, 100);
    const int64_t most = downtime(BootTimeNs());
    const auto lost = int64_t(link.DowntimeFrames.load());
    EXPECT_GE(lost, least + Stretch - 1);
    EXPECT_LE(lost, most + Stretch + 1);
    // Nothing of the buffer filled again is ever due.
    EXPECT_EQ(link.FirstDueFrom(0, 4 * Stretch), Stretch);
}

QByteArray Contents(const std::string& path) {
    QFile file(QString::fromStdString(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct TPlantRow {
    const char* Name;
    // Done to a sound held delay, left by a run that ended, before the next run starts.
    void (*Plant)(const std::string& path);
    void (*Edit)(THeldHeader& header);
    const char* Refusal;
    // Not ours to remove: left as it is, and the run's delay is not held.
    bool Foreign = false;
    bool AsRoot = false;
};

void PrintTo(const TPlantRow& row, std::ostream* out) {
    *out << row.Name;
}

class PlantedFileTest : public HeldDelayTest, public testing::WithParamInterface<TPlantRow> {};

// What another user could have put in the delay's place, or made of it, is never resumed: a
// file not ours stays exactly as it is, one of ours is replaced by a fresh delay.
TEST_P(PlantedFileTest, IsRefusedAndNeverResumed) {
    const TPlantRow& row = GetParam();
    if (row.AsRoot && geteuid() != 0)
        GTEST_SKIP() << "giving a file to another user takes root";
    {
        const THeldDelayFile file = Fill(BootTimeNs());
        if (row.Edit)
            row.Edit(file.Header());
    }
    if (row.Plant)
        row.Plant(Path);
    const QByteArray planted = Contents(Path);
    {
        const THeldDelayFile taken = THeldDelayFile::Take(Path, Layout);
        EXPECT_EQ(taken.Refusal(), row.Refusal);
        EXPECT_EQ(taken.Resumed(), !*row.Refusal);
        EXPECT_EQ(taken.NotHeld(), row.Foreign);
        EXPECT_EQ(taken.Data() != nullptr, !row.Foreign);
        if (taken.Data() && !taken.Resumed()) {
            EXPECT_EQ(taken.Header().Filled.load(), 0u);
        }
    }
    const QByteArray left = Contents(Path);
    EXPECT_FALSE(left.isEmpty());
    if (row.Foreign) {
        EXPECT_EQ(left, planted);
    }
}

const TPlantRow PlantRows[] = {
    {"sound", nullptr, nullptr, ""},
    {"another owner", [](const std::string& p) { ASSERT_EQ(chown(p.c_str(), 65534, 65534), 0); },
     nullptr, "owned by another user", true, true},
    {"open to all", [](const std::string& p) { ASSERT_EQ(chmod(p.c_str(), 0666), 0); }, nullptr,
     "writable by others"},
    {"second hard link",
     [](const std::string& p) { ASSERT_EQ(link(p.c_str(), (p + ".link").c_str()), 0); }, nullptr,
     "has other links", true},
    {"symbolic link",
     [](const std::string& p) {
         ASSERT_EQ(rename(p.c_str(), (p + ".real").c_str()), 0);
         ASSERT_EQ(symlink((p + ".real").c_str(), p.c_str()), 0);
     },
     nullptr, "a symbolic link", true},
    {"size unlike its header",
     [](const std::string& p) { ASSERT_EQ(truncate(p.c_str(), 8192), 0); }, nullptr, "damaged"},
    {"mark in the future", nullptr,
     [](THeldHeader& h) { h.MarkRing[0].CaptureNs = BootTimeNs() + Second; }, "damaged"},
    {"mark before the boot", nullptr, [](THeldHeader& h) { h.MarkRing[0].CaptureNs = -1; },
     "damaged"},
    {"mark at the end of time", nullptr,
     [](THeldHeader& h) { h.MarkRing[0].CaptureNs = INT64_MAX; }, "damaged"},
    {"marks out of order", nullptr,
     [](THeldHeader& h) {
         h.RecordMark({20000, 0, h.MarkRing[0].CaptureNs - 1});
     },
     "damaged"},
    {"folder anyone can write to",
     [](const std::string& p) { ASSERT_EQ(chmod(p.substr(0, p.rfind('/')).c_str(), 0777), 0); },
     nullptr, "in a folder others can write to", true},
};

INSTANTIATE_TEST_SUITE_P(HeldDelay, PlantedFileTest, testing::ValuesIn(PlantRows));

// Whoever holds the file found can cut it short at any time: the delay taken from it is a copy
// of its own, with the programme it held.
TEST_F(HeldDelayTest, OutlivesTheFileFoundBeingCutShort) {
    const size_t bufferBytes =
        size_t(Layout.BufferFrames) * Layout.BytesPerSample * Layout.Channels;
    {
        const THeldDelayFile file = Fill(BootTimeNs());
        std::memset(file.Buffer(1), 0x34, bufferBytes);
    }
    const int found = open(Path.c_str(), O_RDWR);
    const THeldDelayFile held = THeldDelayFile::Take(Path, Layout);
    ASSERT_TRUE(held.Resumed()) << held.Refusal();
    ASSERT_EQ(ftruncate(found, 0), 0);
    close(found);
    EXPECT_EQ(size_t(std::count(held.Buffer(1), held.Buffer(1) + bufferBytes, 0x34)), bufferBytes);
    std::memset(held.Buffer(0), 0x56, bufferBytes * THeldHeader::BufferCount);
    EXPECT_EQ(held.Buffer(3)[bufferBytes - 1], 0x56);
}

} // namespace
