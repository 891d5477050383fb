#pragma once

// Lagvane's log on stderr: one line per event, behind a time stamp and the station's tag; in the
// journal behind its priority instead, since the journal stamps the time itself. Any thread may
// log; the audio callbacks never do. A message repeated within a second of its last line is
// dropped, so that a library stuck in a loop cannot flood a terminal or a journal.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

enum class TLogLevel { Error, Warning, Info, Debug };

// An event of the program: a run started or stopped, a device failed, a call was given up.
void Log(std::string_view text, TLogLevel level = TLogLevel::Info);
// What the sound libraries say. Written only when the environment has LAGVANE_LOG=debug:
// they comment on every device they probe, and what matters reaches us as an error code.
void LogDebug(std::string_view text);
// Whether LogDebug writes anything: a library's real-time thread asks before it formats.
bool DebugLogWanted();

// The tag on every line (the station's name), "Lagvane" until set.
void SetLogTag(std::string_view tag);

// Whether stderr is the journal: the device and inode JOURNAL_STREAM names are stderr's.
bool StderrIsJournal();
// The line written for text: "<priority>tag: text" for the journal, else "stamp tag: text".
std::string LogLine(std::string_view stamp, std::string_view tag, TLogLevel level,
                    std::string_view text, bool journal);

// Lets each message through at most once a second.
class TRepeatFilter {
public:
    using TClock = std::chrono::steady_clock;
    // The line to write for text arriving at now, or nothing for a repeat to drop. The first
    // line after dropped repeats says how many there were. A repeat dropped allocates nothing.
    std::optional<std::string> Pass(std::string_view text, TClock::time_point now);

private:
    struct TSeen {
        TClock::time_point Written;
        uint64_t Dropped = 0;
    };
    // Looked up by a view of the text, without making a string of it.
    struct THash {
        using is_transparent = void;
        size_t operator()(std::string_view text) const {
            return std::hash<std::string_view>{}(text);
        }
    };
    std::unordered_map<std::string, TSeen, THash, std::equal_to<>> Seen;
};
