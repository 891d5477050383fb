#pragma once

// Proof of every dump: with an evidence folder set, each dump taken leaves two FLAC files there,
// named by its time in UTC, "2026-12-08T14-03-22.517Z-dumped.flac" and "...-aired.flac". The
// dumped file is the programme the dump skipped, frame for frame as the delay held it (its
// first 10 ms fade out on air in the crossfade); the aired file is what the output played from
// 10 s before the crossfade to 10 s after it. The main thread copies what it needs from the
// audio side's memory (the skipped programme at once, while the delay's buffers hold it; the
// aired once it has played), and a writer thread of its own encodes and writes the files, so
// neither the audio nor the main thread waits for a disk.

#include "audio/wavedevice.h"
#include "station/runreport.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class TIniFile;

struct TEvidenceSettings {
    // Where the files go; empty keeps none.
    QString Folder;
    // The dumps whose files the folder keeps, the newest; 0 or less keeps every one.
    int Keep = 100;
};

// Section [Dump], keys EvidenceFolder and EvidenceKeep. A relative folder lies beside the
// settings file.
TEvidenceSettings ReadEvidenceSettings(TIniFile& ini);

// The file names of the dump taken at time: its dumped file, then its aired file.
QStringList EvidenceFileNames(const QDateTime& time);

class TDumpEvidence : public QObject {
public:
    // The seconds of air kept either side of a dump's crossfade.
    static constexpr int AiredSeconds = 10;

    // Files handed to the writer and not written yet, at most: a disk that hangs must not gather
    // a station's dumps in memory. A dump while they wait is still taken; its file is told as
    // not written.
    static constexpr size_t MostWaiting = 8;
    // How long the program's end waits for the files under way; a hung disk is left to finish
    // them, if ever, after the program is gone.
    static constexpr int ExitWaitMs = 2000;

    explicit TDumpEvidence(QObject* parent = nullptr);
    // Waits for the files under way, ExitWaitMs at most.
    ~TDumpEvidence() override;

    void SetSettings(const TEvidenceSettings& settings);
    // A dump the output of format took, seconds long: copies the programme it skipped now,
    // while the delay's buffers hold it, and starts writing it. Returns the dump as the status
    // tells it, with the files it will have.
    TLastDump Take(const TWaveOutDevice& output, const TDumpTaken& dump, const TWaveFormat& format,
                   double seconds);
    // Writes the aired file of each dump whose 10 s after have played; with ending (the run
    // ends now), of every dump, with what of it played.
    void Collect(const TWaveOutDevice& output, bool ending);
    // Waits until every file handed to the writer is written, and takes in the outcome.
    void WaitForWritten();
    const std::optional<TLastDump>& Last() const { return LastDump; }

    // A dump's file could not be written: the operator's text.
    std::function<void(const QString& text)> OnFailure;

private:
    struct TPending {
        QDateTime Time;
        QString Path;
        TWaveFormat Format;
        uint64_t AiredFrom;
        uint64_t AiredTo;
    };
    // A file for the writer to write, and what became of it.
    struct TJob {
        QDateTime Time;
        QString Path;
        TWaveFormat Format;
        QByteArray Pcm;
        // With more than 0, the folder is pruned to that many dumps after.
        int Keep;
    };
    struct TOutcome {
        QDateTime Time;
        QString Path;
        QString Failure;
    };

    // What the main thread and the writer share; the writer holds it too, so that one left to a
    // hung disk at exit never touches this object.
    struct TWriter {
        std::mutex Lock;
        std::condition_variable Wake;
        std::deque<TJob> Jobs;
        std::vector<TOutcome> Outcomes;
        bool Writing = false;
        bool Stopping = false;
    };

    void StartWriting(TJob job);
    // The writer thread: each job in turn, until told to stop and none is left.
    static void WriteJobs(const std::shared_ptr<TWriter>& writer);
    // Main thread: tells what the writer could not write.
    void TakeOutcomes();
    // Main thread: the file of the dump at time is missing, for reason.
    void Failed(const QDateTime& time, const QString& path, const QString& reason);

    TEvidenceSettings Settings;
    std::vector<TPending> Pending;
    std::optional<TLastDump> LastDump;
    // One thread, so that the files are written and pruned in the order of the dumps; its
    // outcomes are fetched while any is under way.
    std::shared_ptr<TWriter> Shared = std::make_shared<TWriter>();
    std::thread Writer;
    QTimer OutcomeTimer;
};
