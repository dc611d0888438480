#include "reliability_rig.h"

#include <psapi.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace {

const char kGood[] = "6933c113c3";
const size_t kProfileBuffer = 1 << 20;

std::string Utf16(const std::string& ascii)
{
    std::string bytes = "\xFF\xFE";
    for (char c : ascii) {
        bytes += c;
        bytes += '\0';
    }
    return bytes;
}

std::string KeyOf(const std::string& line)
{
    return line.substr(0, line.find('='));
}

std::vector<std::string> Strings(const std::vector<char>& buffer, DWORD length)
{
    std::vector<std::string> strings;
    for (size_t at = 0; at < length && buffer[at] != '\0';) {
        std::string s(&buffer[at]);
        at += s.size() + 1;
        strings.push_back(s);
    }
    return strings;
}

void Capture(int slot, double* saturation, double* spread)
{
    // The tray's first slot, at the right end of the virtual desktop's taskbar.
    const int x = 1012 - 8 - slot * 20;
    const int y = 757 - 8;
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = 16;
    info.bmiHeader.biHeight = -16;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = NULL;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, NULL, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, 16, 16, screen, x, y, SRCCOPY);
    GdiFlush();
    double sumSaturation = 0, sumGray = 0, sumGray2 = 0;
    const DWORD* pixels = static_cast<const DWORD*>(bits);
    for (int i = 0; i < 256; ++i) {
        const double r = ((pixels[i] >> 16) & 255) / 255.0, g = ((pixels[i] >> 8) & 255) / 255.0,
                     b = (pixels[i] & 255) / 255.0;
        const double high = fmax(r, fmax(g, b)), low = fmin(r, fmin(g, b)), light = (high + low) / 2;
        if (high > low) {
            sumSaturation += (high - low) / (light < 0.5 ? high + low : 2 - high - low);
        }
        const double gray = 0.299 * r + 0.587 * g + 0.114 * b;
        sumGray += gray;
        sumGray2 += gray * gray;
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    *saturation = sumSaturation / 256;
    *spread = sqrt(fmax(0, sumGray2 / 256 - (sumGray / 256) * (sumGray / 256)));
}

struct WindowSearch {
    const wchar_t* className;
    DWORD processId;
    const wchar_t* text;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM param)
{
    WindowSearch* search = reinterpret_cast<WindowSearch*>(param);
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (wcscmp(className, search->className) != 0 || (search->processId != 0 && owner != search->processId)) {
        return TRUE;
    }
    if (search->text != NULL) {
        wchar_t caption[64] = {}, text[128] = {};
        GetWindowTextW(window, caption, 64);
        GetDlgItemTextW(window, 0xFFFF, text, 128);
        if (wcscmp(caption, L"嵐川銀行") != 0 || wcscmp(text, search->text) != 0) {
            return TRUE;
        }
    }
    search->found = window;
    return FALSE;
}

}  // namespace

std::vector<BadStateFile> BadStateFiles(unsigned seed)
{
    std::vector<BadStateFile> files;
    auto add = [&files](const std::string& name, const std::string& bytes) { files.push_back({name, bytes}); };
    const std::string settings = "[Settings]\r\nService=";
    for (size_t n = 0; n <= 9; ++n) {
        add("value of " + std::to_string(n) + " characters", settings + std::string(kGood, n) + "\r\n");
    }
    for (int byte = 1; byte <= 255; ++byte) {
        std::string value = kGood;
        value[6] = static_cast<char>(byte);
        add("position 6 holds byte " + std::to_string(byte), settings + value + "\r\nKeep=1\r\n");
    }
    for (const char* around : {"\"6933c113c3\"", "'6933c103c3'", "  6933c113c3  ", "\t6933c103c3\t",
                               "\" 6933c1 3c3\"", "\"6933c113c3", " \"6933c103c3\" "}) {
        add(std::string("quoted or blank value ") + around, "[Settings]\r\nService =" + std::string(around) + "\r\n");
    }
    add("no Settings section", "[Other]\r\nService=6933c103c3\r\nKey=Value\r\n");
    add("keys before any section", "Service=6933c113c3\r\nLoose=1\r\n[Keep]\r\nA=B\r\n");
    add("only comments", "; nothing\r\n# here\r\n");
    const std::string big(100 * 1024, 'x');
    add("100 KB value", settings + big + "\r\n[Keep]\r\nA=B\r\n");
    add("100 KB line before the section", big + "\r\n[Settings]\r\nService=6933c113c3\r\n");
    add("100 KB key elsewhere", "[Other]\r\nk=" + big + "\r\n[Settings]\r\nService=6933c113c3\r\n");
    add("UTF-16 stopped", Utf16("[Settings]\r\nService=6933c113c3\r\n[Keep]\r\nA=B\r\n"));
    add("UTF-16 running", Utf16("[Keep]\r\nA=B\r\n[Settings]\r\nService=6933c103c3\r\n"));
    add("duplicated keys", "[Settings]\r\nService=6933c113c3\r\nService=6933c103c3\r\nX=1\r\nX=2\r\n");
    add("duplicated sections", "[Settings]\r\nService=6933c103c3\r\n[Settings]\r\nService=6933c113c3\r\nOther=1\r\n");
    add("duplicated other section", "[A]\r\nk=1\r\nk=2\r\n[A]\r\nk=3\r\n[Settings]\r\nService=6933c113c3\r\n");
    for (const char* end : {"\r", "\n", "\n\r", "\r\r\n"}) {
        const std::string e = end;
        add("line ends " + std::to_string(e.size()) + (e[0] == '\r' ? "CR" : "LF"),
            "[Keep]" + e + "A=1" + e + "[Settings]" + e + "Service=6933c113c3" + e + "B=2" + e);
    }
    add("comment lines",
        "; first\r\n[Settings]\r\n; Service=6933c103c3\r\nService=6933c113c3\r\n# hash\r\n[Keep]\r\n;k=v\r\nk=v\r\n");
    add("letter case", "[SETTINGS]\r\nSERVICE=6933c113c3\r\n[keep]\r\nKey=Value\r\n");
    add("blank lines and blanks", "\r\n\r\n[Keep]\r\n  A  =  b c  \r\n\r\n[Settings]\r\nService=6933c113c3\r\n\r\n");

    // Random content: half raw bytes, half made of what an INI file is made of.
    std::mt19937 random(seed);
    const char pieces[] = "[]=;#\r\n \t\"'SettingsServic0123456789abcdef\x80\xe9\xff";
    for (int i = 0; files.size() < 530; ++i) {
        std::string bytes(1 + random() % 3000, '\0');
        for (char& c : bytes) {
            c = (i % 2 == 0) ? static_cast<char>(random() % 256) : pieces[random() % (sizeof pieces - 1)];
        }
        if (i % 4 == 1) {
            bytes = settings + bytes;
        }
        add("random " + std::to_string(i), bytes);
    }
    return files;
}

ProfileLines ProfileOf(const std::string& path)
{
    ProfileLines lines;
    std::vector<char> buffer(kProfileBuffer);
    std::vector<std::string> seen;
    DWORD length = GetPrivateProfileSectionNamesA(buffer.data(), kProfileBuffer, path.c_str());
    for (const std::string& section : Strings(buffer, length)) {
        bool again = false;
        for (const std::string& earlier : seen) {
            again = again || _stricmp(earlier.c_str(), section.c_str()) == 0;
        }
        if (again) {
            continue;  // the profile API reads only the first section of a name
        }
        seen.push_back(section);
        std::vector<char> content(kProfileBuffer);
        DWORD got = GetPrivateProfileSectionA(section.c_str(), content.data(), kProfileBuffer, path.c_str());
        for (const std::string& line : Strings(content, got)) {
            lines.push_back({section, line});
        }
    }
    return lines;
}

std::string LostLine(ProfileLines before, ProfileLines after)
{
    for (ProfileLines* lines : {&before, &after}) {
        for (auto it = lines->begin(); it != lines->end(); ++it) {
            if (_stricmp(it->first.c_str(), "Settings") == 0 && _stricmp(KeyOf(it->second).c_str(), "Service") == 0) {
                lines->erase(it);
                break;
            }
        }
    }
    for (const auto& line : before) {
        bool kept = false;
        for (auto it = after.begin(); it != after.end() && !kept; ++it) {
            if (*it == line) {
                after.erase(it);
                kept = true;
            }
        }
        if (!kept) {
            return "[" + line.first + "] " + line.second.substr(0, 80);
        }
    }
    return "";
}

int StateByReadingRule(const std::string& path)
{
    struct _stat64i32 info;
    if (_stat64i32(path.c_str(), &info) != 0 || info.st_size <= 0) {
        return 0;
    }
    char value[32] = {};
    GetPrivateProfileStringA("Settings", "Service", "01234507890", value, sizeof value, path.c_str());
    return static_cast<signed char>(value[6]) - '0';
}

RandomMessage NextRandomMessage(std::mt19937& random, double agentStarted)
{
    // Big enough for the largest payload; its content is never read.
    static std::vector<char> payload(1 << 20, 'z');
    std::uniform_real_distribution<double> share(0, 1);
    RandomMessage m = {};
    m.wParam = static_cast<WPARAM>((static_cast<unsigned long long>(random()) << 32) | random());
    switch (random() % 3) {
    case 0: {
        m.message = WM_COPYDATA;
        const ULONG_PTR words[] = {0, 2, static_cast<ULONG_PTR>(random()) << 8 | 3};
        m.data.dwData = share(random) < agentStarted ? 1 : words[random() % 3];
        m.data.cbData = random() % 50 == 0 ? static_cast<DWORD>(payload.size()) : random() % 65536;
        m.data.lpData = payload.data();
        break;
    }
    case 1: {
        m.message = WM_COMMAND;
        WORD command;
        do {
            command = static_cast<WORD>(random());
        } while (command == 104 || command == 105 || command == 32771 || command == 32773);
        m.wParam = MAKEWPARAM(command, random() % 2);
        break;
    }
    default: {
        m.message = WM_USER + 1;
        UINT mouse;
        do {
            mouse = WM_MOUSEFIRST + random() % (WM_MOUSELAST - WM_MOUSEFIRST + 1);
        } while (mouse == WM_RBUTTONDOWN);
        m.lParam = MAKELPARAM(mouse, random());
        break;
    }
    }
    return m;
}

bool Deliver(HWND window, const RandomMessage& m)
{
    const LPARAM lParam = m.message == WM_COPYDATA ? reinterpret_cast<LPARAM>(&m.data) : m.lParam;
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(window, m.message, m.wParam, lParam, SMTO_NORMAL, 10000, &result) != 0;
}

double TraySlotSaturation(int slot)
{
    double saturation, spread;
    Capture(slot, &saturation, &spread);
    return saturation;
}

double TraySlotSpread(int slot)
{
    double saturation, spread;
    Capture(slot, &saturation, &spread);
    return spread;
}

ProcessFigures FiguresOf(HANDLE process)
{
    ProcessFigures figures = {};
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory)) {
        // Wine 8 leaves PrivateUsage 0 but fills PagefileUsage, its equal on Windows.
        figures.privateBytes = memory.PrivateUsage != 0 ? memory.PrivateUsage : memory.PagefileUsage;
        figures.workingSet = memory.WorkingSetSize;
    }
    return figures;
}

bool AnswerBoxSaying(const wchar_t* text, int timeoutMs)
{
    for (int waited = 0; waited < timeoutMs; waited += 10, Sleep(10)) {
        WindowSearch search = {L"#32770", 0, text, NULL};
        EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found != NULL) {
            SendMessageW(search.found, WM_COMMAND, IDOK, 0);
            return true;
        }
    }
    return false;
}

HWND WindowOfProcess(const wchar_t* className, DWORD processId)
{
    WindowSearch search = {className, processId, NULL, NULL};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

void Figure(const char* name, double value, const char* unit)
{
    printf("FIGURE | %s | %.0f %s |\n", name, value, unit);
    fflush(stdout);
}
