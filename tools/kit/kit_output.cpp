// The kit's text: to the console as the console wants it, and to the results file as UTF-8.
#include "kit_output.h"

#include <windows.h>
#include <stdarg.h>
#include <wchar.h>

namespace {

HANDLE g_results = INVALID_HANDLE_VALUE;

void WriteUtf8(HANDLE to, const wchar_t* text, int chars)
{
    char bytes[6 * kTextChars] = {};  // up to three bytes for each of up to twice kTextChars
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, chars, bytes, sizeof bytes, NULL, NULL);
    DWORD written = 0;
    WriteFile(to, bytes, size, &written, NULL);
}

}  // namespace

// Text to the console as UTF-16, so that any name shows, or as UTF-8 where the output is a file or pipe; and
// to the results file, with Windows line ends.
void Emit(const wchar_t* text)
{
    wchar_t lines[2 * kTextChars] = {};
    int chars = 0;
    for (const wchar_t* c = text; *c != L'\0' && chars < 2 * kTextChars - 2; ++c) {
        if (*c == L'\n' && (c == text || c[-1] != L'\r')) {
            lines[chars++] = L'\r';
        }
        lines[chars++] = *c;
    }
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, lines, chars, &written, NULL);
    } else {
        WriteUtf8(out, lines, chars);
    }
    if (g_results != INVALID_HANDLE_VALUE) {
        WriteUtf8(g_results, lines, chars);
    }
}

void Say(const wchar_t* format, ...)
{
    wchar_t text[kTextChars] = {};
    va_list arguments;
    va_start(arguments, format);
    vswprintf(text, kTextChars, format, arguments);
    va_end(arguments);
    Emit(text);
}

FILE* Open(const wchar_t* path, const wchar_t* mode)
{
    FILE* file = NULL;
    return _wfopen_s(&file, path, mode) == 0 ? file : NULL;
}

// Named by the time, so that no run overwrites another's.
void OpenResults(const wchar_t* folder, wchar_t* name)
{
    for (int attempt = 0; attempt < 3 && g_results == INVALID_HANDLE_VALUE; ++attempt) {
        SYSTEMTIME now = {};
        GetLocalTime(&now);
        swprintf(name, MAX_PATH, L"%lskit-results-%04u%02u%02u-%02u%02u%02u.txt", folder, now.wYear, now.wMonth,
                 now.wDay, now.wHour, now.wMinute, now.wSecond);
        g_results = CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
        if (g_results == INVALID_HANDLE_VALUE) {
            Sleep(1000);
        }
    }
    const char bom[] = "\xEF\xBB\xBF";  // so that Notepad before Windows 10 reads it as UTF-8
    DWORD written = 0;
    WriteFile(g_results, bom, sizeof bom - 1, &written, NULL);
}
