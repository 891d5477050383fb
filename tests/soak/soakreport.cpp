#include "tests/soak/soakreport.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

std::string ProcPath(pid_t pid, const char* file) {
    return "/proc/" + (pid == 0 ? std::string("self") : std::to_string(pid)) + "/" + file;
}

long long StatusKib(const std::string& status, const std::string& field) {
    const size_t at = status.find("\n" + field + ":");
    return at == std::string::npos ? -1 : std::stoll(status.substr(at + field.size() + 2));
}

} // namespace

TProcessFigures ReadProcessFigures(pid_t pid) {
    TProcessFigures figures;
    std::ifstream statusFile(ProcPath(pid, "status"));
    std::stringstream status;
    status << '\n' << statusFile.rdbuf();
    figures.RssKib = StatusKib(status.str(), "VmRSS");
    figures.PeakRssKib = StatusKib(status.str(), "VmHWM");

    // Fields 14 and 15 (utime, stime) follow the command name, which may hold blanks.
    std::ifstream statFile(ProcPath(pid, "stat"));
    std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    const size_t nameEnd = stat.rfind(')');
    if (nameEnd != std::string::npos) {
        std::istringstream fields(stat.substr(nameEnd + 2));
        std::string field;
        unsigned long long ticks = 0;
        // After the name come state (3) ... minflt (10) ... utime (14), stime (15).
        for (int index = 3; index <= 15 && fields >> field; ++index)
            if (index >= 14)
                ticks += std::stoull(field);
        if (fields)
            figures.CpuSeconds = double(ticks) / double(sysconf(_SC_CLK_TCK));
    }
    return figures;
}

std::string DescribeProcessFigures(const TProcessFigures& figures) {
    char text[128];
    std::snprintf(text, sizeof text, "VmRSS %.1f MiB, VmHWM %.1f MiB, CPU %.2f s",
                  double(figures.RssKib) / 1024.0, double(figures.PeakRssKib) / 1024.0,
                  figures.CpuSeconds);
    return text;
}

void TSoakVerdict::Expect(bool condition, const char* what) {
    if (condition)
        return;
    std::printf("FAILED: %s\n", what);
    ++Failures;
}

int TSoakVerdict::Finish() const {
    std::printf("soak: %s\n", Failures == 0 ? "PASSED" : "FAILED");
    return Failures == 0 ? 0 : 1;
}
