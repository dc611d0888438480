// A DLL planted as uxtheme.dll (which user32 loads by name once a window exists) beside a copy of the
// shipped 32-bit program in a user-writable folder. CTest gives this program WINEDLLOVERRIDES=uxtheme=n,b,
// native first, so the planted copy wins wherever the search reaches that folder.
#include <fstream>
#include <iterator>
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
    const std::wstring shipped = folder + L"\\ZelnaNivoroMonitor.exe", control = folder + L"\\control.exe";
    const std::wstring mark = folder + L"\\uxtheme.dll.loaded";
    ASSERT_TRUE(CopyFileW(Built(L"ZelnaNivoroMonitor.exe").c_str(), shipped.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(Built(L"planted_dll.dll").c_str(), (folder + L"\\uxtheme.dll").c_str(), FALSE));
    // The control: the name the program looks up spelt wrong, as on Windows 7 without the loader update.
    std::ifstream in(shipped.c_str(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string name("SetDefaultDllDirectories", 25);  // with its terminator
    const size_t at = bytes.find(name);
    ASSERT_TRUE(at != std::string::npos && at == bytes.rfind(name)) << "the looked-up name is not in the program once";
    bytes[at] = 'X';
    ASSERT_TRUE((std::ofstream(control.c_str(), std::ios::binary) << bytes).good());
    for (const bool planted : {true, false}) {
        SCOPED_TRACE(planted ? "control" : "shipped");
        DeleteFileW(mark.c_str());
        Monitor monitor = StartMonitor(L"", planted ? control : shipped);
        ASSERT_NE(monitor.window, nullptr);
        SendMessageW(monitor.window, WM_CLOSE, 0, 0);
        EXPECT_EQ(EndOf(monitor), 0u);
        EXPECT_EQ(GetFileAttributesW(mark.c_str()) != INVALID_FILE_ATTRIBUTES, planted);
    }
}

}  // namespace
