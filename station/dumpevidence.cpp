#include "station/dumpevidence.h"

#include "station/inifile.h"
#include "support/log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTimeZone>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <set>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString Dump = QStringLiteral("Dump");
// In UTC, marked with a Z, so that names sort as the dumps' times do across a change of the
// local clock; earlier versions named them in local time without the Z.
const QString StampFormat = QStringLiteral("yyyy-MM-ddTHH-mm-ss.zzz");
const QString UtcMark = QStringLiteral("Z");
const QString DumpedSuffix = QStringLiteral("-dumped.flac");
const QString AiredSuffix = QStringLiteral("-aired.flac");
constexpr sf_count_t FramesPerWrite = 4096;
// How often the station asks the writer what became of the files under way.
constexpr int OutcomeCheckMs = 250;

// Our own files and nothing else: a stamp and one of the two suffixes.
const QRegularExpression& EvidenceFilePattern() {
    static const QRegularExpression pattern(QStringLiteral(
        "^(\\d{4}-\\d\\d-\\d\\dT\\d\\d-\\d\\d-\\d\\d\\.\\d{3})(Z?)-(dumped|aired)\\.flac$"));
    return pattern;
}

// When a file of ours was made, from its name; nothing for a file that is not ours.
std::optional<qint64> EvidenceTime(const QString& name) {
    const QRegularExpressionMatch match = EvidenceFilePattern().match(name);
    if (!match.hasMatch())
        return std::nullopt;
    QDateTime time = QDateTime::fromString(match.captured(1), StampFormat);
    if (!time.isValid())
        return std::nullopt;
    if (!match.captured(2).isEmpty())
        time.setTimeZone(QTimeZone::utc());
    return time.toMSecsSinceEpoch();
}

// The folder, made for the station's eyes only when it is not there yet: the evidence is the
// very sound kept off air. A folder the operator made is left as it is.
bool MakeFolder(const QString& folder) {
    const QFileInfo info(folder);
    if (info.isDir())
        return true;
    if (!QDir().mkpath(info.absolutePath()))
        return false;
    return ::mkdir(QFile::encodeName(info.absoluteFilePath()).constData(), 0700) == 0 ||
           QFileInfo(folder).isDir();
}

// Writes pcm of format as FLAC at path, through a part file renamed once whole, so that no file
// of ours is ever half written; the reason when it fails, empty when written.
QString WriteFlac(const QString& path, const TWaveFormat& format, const QByteArray& pcm) {
    if (!MakeFolder(QFileInfo(path).path()))
        return QStringLiteral("cannot create the folder");
    const bool eightBit = format.BitsPerSample == 8;
    SF_INFO info{};
    info.samplerate = int(format.SamplesPerSec);
    info.channels = format.Channels;
    info.format = SF_FORMAT_FLAC | (eightBit ? SF_FORMAT_PCM_S8 : SF_FORMAT_PCM_16);
    const QString part = path + QStringLiteral(".part");
    // Readable by the station's user alone, whatever the umask; one that is stricter still holds.
    QFile::remove(part);
    const int descriptor = ::open(QFile::encodeName(part).constData(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (descriptor < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    SNDFILE* file = sf_open_fd(descriptor, SFM_WRITE, &info, SF_FALSE);
    if (!file) {
        ::close(descriptor);
        QFile::remove(part);
        return QString::fromLocal8Bit(sf_strerror(nullptr));
    }
    sf_set_string(file, SF_STR_SOFTWARE, "Lagvane");
    // The file takes 16-bit samples; an 8-bit file keeps their high byte, so our unsigned 8-bit
    // samples go in centred and scaled up, and come out exact.
    const sf_count_t frames = pcm.size() / format.BlockAlign;
    std::vector<short> samples(size_t(FramesPerWrite) * format.Channels);
    sf_count_t written = 0;
    while (written < frames) {
        const sf_count_t count = std::min(FramesPerWrite, frames - written);
        const size_t values = size_t(count) * format.Channels;
        const char* from = pcm.constData() + written * format.BlockAlign;
        for (size_t at = 0; at < values; ++at)
            samples[at] = eightBit
                              ? short((uint8_t(from[at]) - 128) * 256)
                              : short(uint8_t(from[2 * at]) | (uint8_t(from[2 * at + 1]) << 8));
        if (sf_writef_short(file, samples.data(), count) != count)
            break;
        written += count;
    }
    QString failure = written < frames ? QString::fromLocal8Bit(sf_strerror(file)) : QString();
    const bool closed = sf_close(file) == 0;
    if ((::close(descriptor) != 0 || !closed) && failure.isEmpty())
        failure = QStringLiteral("the file could not be completed");
    if (failure.isEmpty() && !QFile::rename(part, path))
        failure = QStringLiteral("the file could not be named");
    if (!failure.isEmpty())
        QFile::remove(part);
    return failure;
}

// Removes the files of all but the newest keep dumps in folder, by the times in their names;
// only files named as ours.
void Prune(const QString& folder, int keep) {
    const QDir dir(folder);
    std::set<qint64> times;
    const QStringList names = dir.entryList(QDir::Files);
    for (const QString& name : names)
        if (const std::optional<qint64> time = EvidenceTime(name))
            times.insert(*time);
    if (int(times.size()) <= keep)
        return;
    const qint64 oldestKept = *std::next(times.begin(), qsizetype(times.size()) - keep);
    for (const QString& name : names)
        if (const std::optional<qint64> time = EvidenceTime(name); time && *time < oldestKept)
            QFile::remove(dir.filePath(name));
}

} // namespace

TEvidenceSettings ReadEvidenceSettings(TIniFile& ini) {
    TEvidenceSettings settings;
    const QString folder = ini.ReadString(Dump, QStringLiteral("EvidenceFolder"), {}).trimmed();
    if (!folder.isEmpty())
        settings.Folder = QDir::cleanPath(QFileInfo(ini.FileName()).dir().absoluteFilePath(folder));
    settings.Keep = ini.ReadInteger(Dump, QStringLiteral("EvidenceKeep"), settings.Keep);
    return settings;
}

QStringList EvidenceFileNames(const QDateTime& time) {
    const QString stamp = time.toUTC().toString(StampFormat) + UtcMark;
    return {stamp + DumpedSuffix, stamp + AiredSuffix};
}

TDumpEvidence::TDumpEvidence(QObject* parent) : QObject(parent) {
    OutcomeTimer.setInterval(OutcomeCheckMs);
    connect(&OutcomeTimer, &QTimer::timeout, this, [this] { TakeOutcomes(); });
}

TDumpEvidence::~TDumpEvidence() {
    TWriter& writer = *Shared;
    std::unique_lock lock(writer.Lock);
    writer.Stopping = true;
    writer.Wake.notify_all();
    const bool done = writer.Wake.wait_for(lock, std::chrono::milliseconds(ExitWaitMs),
                                           [&] { return writer.Jobs.empty() && !writer.Writing; });
    const size_t left = writer.Jobs.size() + (writer.Writing ? 1 : 0);
    lock.unlock();
    if (!Writer.joinable())
        return;
    if (done) {
        Writer.join();
        return;
    }
    Writer.detach();
    Log("Dump evidence: " + std::to_string(left) +
            " file(s) still being written at the end; the disk did not take them in time",
        TLogLevel::Warning);
}

void TDumpEvidence::SetSettings(const TEvidenceSettings& settings) {
    Settings = settings;
}

TLastDump TDumpEvidence::Take(const TWaveOutDevice& output, const TDumpTaken& dump,
                              const TWaveFormat& format, double seconds) {
    LastDump = TLastDump{QDateTime::currentDateTime(), seconds, {}};
    if (Settings.Folder.isEmpty())
        return *LastDump;
    const QDir folder(Settings.Folder);
    const QStringList names = EvidenceFileNames(LastDump->Time);
    const QString dumpedPath = folder.filePath(names[0]);
    const QString airedPath = folder.filePath(names[1]);
    LastDump->Files = {dumpedPath, airedPath};
    const uint64_t rate = format.SamplesPerSec;
    const uint64_t around = AiredSeconds * rate;
    const uint64_t crossfade = std::max<uint64_t>(rate / 100, 1);
    Pending.push_back({LastDump->Time, airedPath, format,
                       dump.AiredAt - std::min(dump.AiredAt, around),
                       dump.AiredAt + crossfade + around});
    QByteArray pcm(qsizetype((dump.To - dump.From) * format.BlockAlign), Qt::Uninitialized);
    if (output.CopyProgramme(dump.From, dump.To - dump.From, pcm.data()))
        StartWriting({LastDump->Time, dumpedPath, format, std::move(pcm), 0});
    else
        Failed(LastDump->Time, dumpedPath,
               QStringLiteral("the delay no longer held the programme it skipped"));
    return *LastDump;
}

void TDumpEvidence::Collect(const TWaveOutDevice& output, bool ending) {
    const uint64_t aired = output.AiredFrames();
    std::erase_if(Pending, [&](const TPending& pending) {
        if (aired < pending.AiredTo && !ending)
            return false;
        const uint64_t frames =
            std::max(std::min(aired, pending.AiredTo), pending.AiredFrom) - pending.AiredFrom;
        QByteArray pcm(qsizetype(frames * pending.Format.BlockAlign), Qt::Uninitialized);
        if (output.CopyAired(pending.AiredFrom, frames, pcm.data()))
            StartWriting(
                {pending.Time, pending.Path, pending.Format, std::move(pcm), Settings.Keep});
        else
            Failed(pending.Time, pending.Path,
                   QStringLiteral("what went on air around it was no longer held"));
        return true;
    });
}

void TDumpEvidence::StartWriting(TJob job) {
    TWriter& writer = *Shared;
    {
        const std::lock_guard lock(writer.Lock);
        if (writer.Jobs.size() >= MostWaiting) {
            writer.Outcomes.push_back(
                {job.Time, job.Path,
                 QStringLiteral("the files of earlier dumps are still waiting for the disk")});
            OutcomeTimer.start();
            return;
        }
        writer.Jobs.push_back(std::move(job));
    }
    writer.Wake.notify_all();
    if (!Writer.joinable())
        Writer = std::thread([shared = Shared] { WriteJobs(shared); });
    OutcomeTimer.start();
}

void TDumpEvidence::WriteJobs(const std::shared_ptr<TWriter>& shared) {
    TWriter& writer = *shared;
    std::unique_lock lock(writer.Lock);
    for (;;) {
        writer.Wake.wait(lock, [&] { return writer.Stopping || !writer.Jobs.empty(); });
        if (writer.Jobs.empty())
            return;
        const TJob job = std::move(writer.Jobs.front());
        writer.Jobs.pop_front();
        writer.Writing = true;
        lock.unlock();
        const QString failure = WriteFlac(job.Path, job.Format, job.Pcm);
        if (job.Keep > 0)
            Prune(QFileInfo(job.Path).path(), job.Keep);
        lock.lock();
        writer.Writing = false;
        if (!failure.isEmpty())
            writer.Outcomes.push_back({job.Time, job.Path, failure});
        writer.Wake.notify_all();
    }
}

void TDumpEvidence::TakeOutcomes() {
    TWriter& writer = *Shared;
    std::vector<TOutcome> outcomes;
    {
        const std::lock_guard lock(writer.Lock);
        outcomes.swap(writer.Outcomes);
        if (writer.Jobs.empty() && !writer.Writing)
            OutcomeTimer.stop();
    }
    for (const TOutcome& outcome : outcomes)
        Failed(outcome.Time, outcome.Path, outcome.Failure);
}

void TDumpEvidence::WaitForWritten() {
    {
        TWriter& writer = *Shared;
        std::unique_lock lock(writer.Lock);
        writer.Wake.wait(lock, [&] { return writer.Jobs.empty() && !writer.Writing; });
    }
    TakeOutcomes();
}

void TDumpEvidence::Failed(const QDateTime& time, const QString& path, const QString& reason) {
    if (LastDump && LastDump->Time == time)
        LastDump->Files.removeAll(path);
    if (OnFailure)
        OnFailure(QStringLiteral("The evidence of the dump at %1 could not be written to %2: %3")
                      .arg(time.toString(QStringLiteral("HH:mm:ss")), path, reason));
}
