#include "support/log.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <sys/stat.h>

namespace {

constexpr auto RepeatInterval = std::chrono::seconds(1);
// Messages remembered before those whose second is over are forgotten.
constexpr size_t RememberedMessages = 1024;
// Longer lines are cut: no library says anything useful past this.
constexpr size_t LongestLine = 2048;

struct TLogState {
    std::mutex Mutex;
    TRepeatFilter Filter;
    std::string Tag = "Lagvane";
    bool Journal = StderrIsJournal();
};

TLogState& State() {
    // Never destroyed: a library thread may still log while the program exits.
    static auto* state = new TLogState;
    return *state;
}

// Libraries end their messages with line breaks, some with several lines in one. The line
// goes into room the caller gives, cut at its end, so that a repeat to drop allocates nothing.
std::string_view OneLine(std::string_view text, char* room, size_t size) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.remove_suffix(1);
    const size_t length = std::min(text.size(), size);
    for (size_t at = 0; at < length; ++at)
        room[at] = text[at] == '\n' || text[at] == '\r' ? ' ' : text[at];
    return {room, length};
}

std::string TimeStamp(std::chrono::system_clock::time_point now) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[40];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + length, sizeof text - length, ".%03d", int(milliseconds.count()));
    return text;
}

void Write(std::string_view text, TLogLevel level) {
    char room[LongestLine];
    const std::string_view line = OneLine(text, room, sizeof room);
    if (line.empty())
        return;
    TLogState& state = State();
    // Held while writing, so that lines of two threads never interleave.
    std::lock_guard lock(state.Mutex);
    if (const std::optional<std::string> passed =
            state.Filter.Pass(line, TRepeatFilter::TClock::now())) {
        const std::string stamp =
            state.Journal ? std::string() : TimeStamp(std::chrono::system_clock::now());
        const std::string out = LogLine(stamp, state.Tag, level, *passed, state.Journal);
        std::fwrite(out.data(), 1, out.size(), stderr);
    }
}

// syslog's priorities, which the journal reads off the front of a line.
const char* PriorityPrefix(TLogLevel level) {
    switch (level) {
    case TLogLevel::Error:
        return "<3>";
    case TLogLevel::Warning:
        return "<4>";
    case TLogLevel::Info:
        break;
    case TLogLevel::Debug:
        return "<7>";
    }
    return "<6>";
}

} // namespace

void Log(std::string_view text, TLogLevel level) {
    Write(text, level);
}

void SetLogTag(std::string_view tag) {
    TLogState& state = State();
    std::lock_guard lock(state.Mutex);
    state.Tag = tag;
}

bool StderrIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    struct stat status {};
    return stream && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           fstat(2, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

std::string LogLine(std::string_view stamp, std::string_view tag, TLogLevel level,
                    std::string_view text, bool journal) {
    std::string line;
    if (journal) {
        line = PriorityPrefix(level);
    } else {
        line = stamp;
        line += ' ';
    }
    line += tag;
    line += ": ";
    line += text;
    line += '\n';
    return line;
}

bool DebugLogWanted() {
    static const bool wanted = [] {
        const char* setting = std::getenv("LAGVANE_LOG");
        return setting && std::string_view(setting) == "debug";
    }();
    return wanted;
}

void LogDebug(std::string_view text) {
    if (DebugLogWanted())
        Write(text, TLogLevel::Debug);
}

std::optional<std::string> TRepeatFilter::Pass(std::string_view text, TClock::time_point now) {
    if (Seen.size() > RememberedMessages)
        std::erase_if(Seen, [now](const auto& entry) {
            return now - entry.second.Written >= RepeatInterval;
        });
    const auto found = Seen.find(text);
    if (found == Seen.end()) {
        Seen.emplace(std::string(text), TSeen{now});
        return std::string(text);
    }
    TSeen& seen = found->second;
    if (now - seen.Written < RepeatInterval) {
        ++seen.Dropped;
        return std::nullopt;
    }
    std::string line(text);
    if (seen.Dropped > 0)
        line += " (" + std::to_string(seen.Dropped) +
                (seen.Dropped == 1 ? " repeat dropped)" : " repeats dropped)");
    seen = TSeen{now};
    return line;
}
