#include "support/log.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace {

constexpr auto RepeatInterval = std::chrono::seconds(1);
// Messages remembered before those whose second is over are forgotten.
constexpr size_t RememberedMessages = 1024;

struct TLogState {
    std::mutex Mutex;
    TRepeatFilter Filter;
};

TLogState& State() {
    // Never destroyed: a library thread may still log while the program exits.
    static auto* state = new TLogState;
    return *state;
}

bool DebugWanted() {
    static const bool wanted = [] {
        const char* setting = std::getenv("LAGVANE_LOG");
        return setting && std::string_view(setting) == "debug";
    }();
    return wanted;
}

// Libraries end their messages with line breaks, some with several lines in one.
std::string OneLine(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.remove_suffix(1);
    std::string line(text);
    for (char& c : line)
        if (c == '\n' || c == '\r')
            c = ' ';
    return line;
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

void Write(std::string_view text) {
    const std::string line = OneLine(text);
    if (line.empty())
        return;
    TLogState& state = State();
    // Held while writing, so that lines of two threads never interleave.
    std::lock_guard lock(state.Mutex);
    if (const std::optional<std::string> passed =
            state.Filter.Pass(line, TRepeatFilter::TClock::now())) {
        const std::string out = TimeStamp(std::chrono::system_clock::now()) + ' ' + *passed + '\n';
        std::fwrite(out.data(), 1, out.size(), stderr);
    }
}

} // namespace

void Log(std::string_view text) {
    Write(text);
}

void LogDebug(std::string_view text) {
    if (DebugWanted())
        Write(text);
}

std::optional<std::string> TRepeatFilter::Pass(const std::string& text, TClock::time_point now) {
    if (Seen.size() > RememberedMessages)
        std::erase_if(Seen, [now](const auto& entry) {
            return now - entry.second.Written >= RepeatInterval;
        });
    const auto [entry, first] = Seen.try_emplace(text, TSeen{now});
    if (first)
        return text;
    TSeen& seen = entry->second;
    if (now - seen.Written < RepeatInterval) {
        ++seen.Dropped;
        return std::nullopt;
    }
    std::string line = text;
    if (seen.Dropped > 0)
        line += " (" + std::to_string(seen.Dropped) +
                (seen.Dropped == 1 ? " repeat dropped)" : " repeats dropped)");
    seen = TSeen{now};
    return line;
}
