#pragma once

// What a soak reports: what a process costs (from /proc: memory now and at its peak, and
// processor time), and the verdict of its checks.

#include <string>
#include <sys/types.h>

struct TProcessFigures {
    // Resident memory now and its high-water mark (VmRSS, VmHWM), in KiB; -1 when unreadable.
    long long RssKib = -1;
    long long PeakRssKib = -1;
    // User plus system processor time in seconds; -1 when unreadable.
    double CpuSeconds = -1;
};

// The figures of process pid; 0 is this process.
TProcessFigures ReadProcessFigures(pid_t pid = 0);
// "VmRSS 12.3 MiB, VmHWM 14.0 MiB, CPU 5.20 s".
std::string DescribeProcessFigures(const TProcessFigures& figures);

// Tallies a soak's checks; each one that fails is printed as it is made.
class TSoakVerdict {
public:
    void Expect(bool condition, const char* what);
    // Prints PASSED or FAILED and returns the exit status to match.
    int Finish() const;

private:
    int Failures = 0;
};
