// A DLL planted as uxtheme.dll (which user32 loads by name once a window exists) beside a copy of the
// shipped 32-bit program in a user-writable folder. CTest gives this program WINEDLLOVERRIDES=uxtheme=n,b,
// native first, so the planted copy wins wherever the search reaches that folder.
#include "world_test.h"

namespace {

class DllSearch : public WorldTest {
    bool Shipped32() const override { return true; }
};

TEST_F(DllSearch, PlantedBesideTheProgramIsNotLoadedButWouldBeWithoutTheRestriction)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"planted";
    CreateDirectoryW(folder.c_str(), NULL);
    const std::wstring shipped = folder + L"\\ZelnaNivoroMonitor.exe";
    const std::wstring control = folder + L"\\control.exe";
    const std::wstring mark = folder + L"\\uxtheme.dll.loaded";
    ASSERT_TRUE(CopyFileW(Built(L"ZelnaNivoroMonitor.exe").c_str(), shipped.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(Built(L"planted_dll.dll").c_str(), (folder + L"\\uxtheme.dll").c_str(), FALSE));
    // The control, made with the build: the name the program looks up spelt wrong, as on Windows 7 without the
    // loader update.
    ASSERT_TRUE(CopyFileW(Built(L"dll_search_control.exe").c_str(), control.c_str(), FALSE));

    const struct {
        const char* name;
        std::wstring program;
        bool loadsPlanted;
    } rows[] = {
        {"control", control, true},
        {"shipped", shipped, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        DeleteFileW(mark.c_str());
        Monitor monitor = StartMonitor(L"", row.program);
        ASSERT_NE(monitor.window, nullptr);
        SendMessageW(monitor.window, WM_CLOSE, 0, 0);
        const DWORD exitCode = EndOf(monitor);
        EXPECT_EQ(exitCode, 0u);
        const bool loaded = GetFileAttributesW(mark.c_str()) != INVALID_FILE_ATTRIBUTES;
        EXPECT_EQ(loaded, row.loadsPlanted);
    }
}

}  // namespace
