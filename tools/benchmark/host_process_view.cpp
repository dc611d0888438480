#include "host_process_view.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

// The whole of a /proc file: it reports size 0, so read until the end.
std::string ReadHostFile(const std::wstring& path)
{
    std::string text;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                              NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return text;
    }
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, NULL) && got > 0) {
        text.append(buffer, got);
    }
    CloseHandle(file);
    return text;
}

std::wstring ProcPath(int hostPid, const wchar_t* rest)
{
    return L"Z:\\proc\\" + std::to_wstring(hostPid) + rest;
}

// Calls f(name) for each entry of a /proc folder.
template <typename F>
void ForEachEntry(const std::wstring& folder, F f)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        if (found.cFileName[0] >= L'0' && found.cFileName[0] <= L'9') {
            f(found.cFileName);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

long long FieldAfter(const std::string& text, const char* key)
{
    const size_t at = text.find(key);
    return at == std::string::npos ? 0 : atoll(text.c_str() + at + strlen(key));
}

}  // namespace

int HostProcessWithMarker(const std::wstring& marker)
{
    int match = 0;
    const std::string narrow(marker.begin(), marker.end());  // markers are ASCII
    ForEachEntry(L"Z:\\proc", [&](const wchar_t* name) {
        std::string commandLine = ReadHostFile(std::wstring(L"Z:\\proc\\") + name + L"\\cmdline");
        for (char& c : commandLine) {
            c = c ? c : ' ';
        }
        if (match == 0 && commandLine.find(narrow) != std::string::npos) {
            match = _wtoi(name);
        }
    });
    return match;
}

HostTimes HostTimesOf(int hostPid)
{
    HostTimes times;
    // Fields 14 and 15 of stat, counted after the command name, which may hold blanks.
    const std::string stat = ReadHostFile(ProcPath(hostPid, L"\\stat"));
    const size_t end = stat.rfind(')');
    if (end != std::string::npos) {
        long long ticks[2] = {};
        int field = 2;
        for (const char* p = stat.c_str() + end + 1; *p != '\0' && field < 15; ++p) {
            if (*p == ' ') {
                ++field;
                if (field == 14 || field == 15) {
                    ticks[field - 14] = atoll(p + 1);
                }
            }
        }
        times.cpuMs = 10.0 * (ticks[0] + ticks[1]);
    }
    ForEachEntry(ProcPath(hostPid, L"\\task"), [&](const wchar_t* thread) {
        const std::string status = ReadHostFile(ProcPath(hostPid, L"\\task\\") + thread + L"\\status");
        times.wakeups += FieldAfter(status, "\nvoluntary_ctxt_switches:") +
                         FieldAfter(status, "\nnonvoluntary_ctxt_switches:");
    });
    return times;
}

std::vector<std::string> HostMappedFonts(int hostPid)
{
    std::vector<std::string> fonts;
    const std::string maps = ReadHostFile(ProcPath(hostPid, L"\\maps"));
    for (size_t start = 0, end; start < maps.size(); start = end + 1) {
        end = maps.find('\n', start);
        end = end == std::string::npos ? maps.size() : end;
        const size_t path = maps.find('/', start);
        if (path >= end || end - start < 4) {
            continue;
        }
        std::string suffix = maps.substr(end - 4, 4);
        for (char& c : suffix) {
            c = static_cast<char>(tolower(c));
        }
        if (suffix == ".ttf" || suffix == ".ttc" || suffix == ".otf") {
            fonts.push_back(maps.substr(path, end - path));
        }
    }
    std::sort(fonts.begin(), fonts.end());
    fonts.erase(std::unique(fonts.begin(), fonts.end()), fonts.end());
    return fonts;
}
