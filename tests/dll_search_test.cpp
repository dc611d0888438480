// A DLL planted beside a copy of the shipped 32-bit program in a user-writable folder: as uxtheme.dll, which
// user32 loads by name once a window exists, and as a name nothing loads. CTest gives this program
// WINEDLLOVERRIDES=uxtheme=n,b, native first, so the planted copy wins wherever the search reaches that folder.
#include "world_test.h"

namespace {

class DllSearch : public WorldTest, public ::testing::WithParamInterface<const wchar_t*> {
    bool Shipped32() const override { return true; }
};

TEST_P(DllSearch, PlantedBesideTheProgramIsNotLoadedWhereTheControlLoadsIt)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"planted";
    CreateDirectoryW(folder.c_str(), NULL);
    const std::wstring shipped = folder + L"\\ZelnaNivoroMonitor.exe";
    const std::wstring control = folder + L"\\control.exe";
    const std::wstring planted = folder + L"\\" + GetParam();
    const std::wstring mark = planted + L".loaded";
    ASSERT_TRUE(CopyFileW(Built(L"ZelnaNivoroMonitor.exe").c_str(), shipped.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(Built(L"planted_dll.dll").c_str(), planted.c_str(), FALSE));
    // The control, made with the build: the name the program looks up spelt wrong, as on Windows 7 without the
    // loader update.
    ASSERT_TRUE(CopyFileW(Built(L"dll_search_control.exe").c_str(), control.c_str(), FALSE));

    const auto loadsPlanted = [&](const std::wstring& program) {
        DeleteFileW(mark.c_str());
        Monitor monitor = StartMonitor(L"", program);
        EXPECT_NE(monitor.window, nullptr);
        SendMessageW(monitor.window, WM_CLOSE, 0, 0);
        EXPECT_EQ(EndOf(monitor), 0u);
        return GetFileAttributesW(mark.c_str()) != INVALID_FILE_ATTRIBUTES;
    };
    if (!loadsPlanted(control)) {
        GTEST_SKIP() << "the control copy did not load the planted " << GetParam()
                     << ": this system loads no DLL of that name from the program's folder, so it cannot show "
                        "whether the program keeps it out";
    }
    EXPECT_FALSE(loadsPlanted(shipped)) << "the program loaded the planted DLL";
}

INSTANTIATE_TEST_SUITE_P(Planted, DllSearch, ::testing::Values(L"uxtheme.dll", L"nothing_loads_this.dll"),
                         [](const auto& name) { return name.index == 0 ? "SystemName" : "NameNoOneLoads"; });

}  // namespace
