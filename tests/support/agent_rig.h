// Real stand-in agents and the real install folder, for tests under Wine.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

// The program-files folder as this process sees it, and the install folder below it.
std::wstring ProgramFilesFolder();
std::wstring InstallFolder();

// The install folder a 32-bit program sees: "Program Files (x86)" in a 64-bit prefix.
std::wstring InstallFolderX86();

// A file of the rig built beside this test program.
std::wstring BesideThisProgram(const wchar_t* file);

// A file of the shipped 32-bit build (build/win32/bin beside this build's tree).
std::wstring Win32Build(const wchar_t* file);

// Lays the stand-in agent and terminate service into the install folder, or
// removes them; with win32, the 32-bit ones into the folder 32-bit programs see.
void InstallStandIns(bool agent, bool terminateService, bool win32 = false);

// Starts the stand-in agent (with win32 its 32-bit build) under the given file
// name; it waits until the agent is running (and, with denyTerminate, out of
// reach for termination).
HANDLE StartAgent(const wchar_t* fileName = L"ZelnaNivoroAgent.exe", bool denyTerminate = false, bool win32 = false);

// True when the process has ended within the timeout.
bool WaitEnded(HANDLE process, DWORD timeoutMs = 10000);

// Process IDs whose image name equals fileName, ignoring case.
std::vector<DWORD> ProcessesNamed(const wchar_t* fileName);

// Ends every stand-in agent, also those that deny termination, and waits for them.
void EndAllAgents();

// Milliseconds a call took.
template <typename F>
DWORD ElapsedMs(F f)
{
    ULONGLONG start = GetTickCount64();
    f();
    return static_cast<DWORD>(GetTickCount64() - start);
}
