// The real state file in this prefix's application-data folder.
#pragma once

#include <string>

std::string StateFolderPath();
std::string StateFilePath();

// Removes the state file and whatever stands where its folder belongs.
void RemoveStateFile();

// Writes the file's bytes as given, creating the folder.
void WriteStateFileBytes(const std::string& bytes);

// The file's bytes; empty when there is no file.
std::string ReadStateFileBytes();

// The stored value as the profile API returns it; "<none>" without the key.
std::string StoredValue();

// True for a value as the program writes it: ten characters, state digit 0 or 1,
// positions 7 to 9 copying positions 2, 4 and 3.
bool IsWellFormedValue(const std::string& value, char stateDigit);
