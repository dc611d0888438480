#include "state_file_rig.h"

#include <windows.h>
#include <shlobj.h>
#include <stdio.h>

std::string StateFolderPath()
{
    char path[MAX_PATH];
    SHGetFolderPathA(NULL, CSIDL_APPDATA, NULL, 0, path);
    return std::string(path) + "\\Zelna";
}

std::string StateFilePath()
{
    return StateFolderPath() + "\\info.ini";
}

void RemoveStateFile()
{
    SetFileAttributesA(StateFilePath().c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(StateFilePath().c_str());
    RemoveDirectoryA(StateFilePath().c_str());
    DeleteFileA(StateFolderPath().c_str());
    RemoveDirectoryA(StateFolderPath().c_str());
}

void WriteStateFileBytes(const std::string& bytes)
{
    CreateDirectoryA(StateFolderPath().c_str(), NULL);
    FILE* file = fopen(StateFilePath().c_str(), "wb");
    if (file != NULL) {
        fwrite(bytes.data(), 1, bytes.size(), file);
        fclose(file);
    }
}

std::string ReadStateFileBytes()
{
    std::string bytes;
    FILE* file = fopen(StateFilePath().c_str(), "rb");
    if (file == NULL) {
        return bytes;
    }
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.append(chunk, got);
    }
    fclose(file);
    return bytes;
}

std::string StoredValue()
{
    char value[256];
    GetPrivateProfileStringA("Settings", "Service", "<none>", value, sizeof value, StateFilePath().c_str());
    return value;
}

bool IsWellFormedValue(const std::string& value, char stateDigit)
{
    if (value.size() != 10 || value[6] != stateDigit) {
        return false;
    }
    for (size_t i = 0; i < 10; ++i) {
        if (i != 6 && !isxdigit(static_cast<unsigned char>(value[i]))) {
            return false;
        }
    }
    return value[7] == value[2] && value[8] == value[4] && value[9] == value[3];
}
