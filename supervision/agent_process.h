// Finding, ending and starting the agent's processes.
#pragma once

#include <stddef.h>
#include <windows.h>

// The agent's executable name: wide for matching the process list, narrow for the launch path.
extern const wchar_t kAgentImageName[];
extern const char kAgentImageNameNarrow[];

// StopAgent's pause after each instance it ended or handed to the terminate service:
// it does not wait for the instance to end, this is all the time it gets.
const DWORD kPerInstancePauseMs = 1500;

// 1 once StopAgent gave up on an instance it could neither end nor hand to the terminate service.
extern int g_stopFailed;

// True when exeFile is exactly imageName's n characters, ignoring the case of A to Z.
bool MatchImageName(const wchar_t* exeFile, const wchar_t* imageName, size_t n);

// 1 when a process with this image name runs, another session's aside; 0 otherwise or when the list
// cannot be read.
int IsAgentRunning(const wchar_t* imageName);

// 1 when the whole process list was walked; 0 when it cannot be read or an instance was given up on.
int StopAgent(const wchar_t* imageName);

// True when the shell accepted the request to open the agent's executable.
bool LaunchAgent();
