// The Linux side of a Wine process, read through Wine's Z: drive. Wine 8
// reports no CPU times for another process (GetProcessTimes gives 0 even for
// a process that spins), and it hides which files a process has mapped; the
// host kernel keeps both.
#pragma once

#include <string>
#include <vector>

// The host process whose Windows command line contains marker, or 0 when
// none does (or this is not Wine on Linux).
int HostProcessWithMarker(const std::wstring& marker);

struct HostTimes {
    double cpuMs = 0;     // user and kernel time, in the kernel's 10 ms ticks
    long long wakeups = 0;  // context switches over all threads: each is a wake-up
};
HostTimes HostTimesOf(int hostPid);

// The font files (.ttf, .ttc, .otf) the process has mapped, sorted: Wine
// loads into the process each font that its text measuring needs.
std::vector<std::string> HostMappedFonts(int hostPid);
