// The kit's text: to the console and to the results file, which holds everything a run says.
#pragma once

#include <stdio.h>

// Room for one text the kit says, and for one line of a test program's output.
const int kTextChars = 4096;

// Shows text on the console and adds it to the results file once that is open, with Windows line ends.
void Emit(const wchar_t* text);

// Emits the formatted text, cut to fit kTextChars.
void Say(const wchar_t* format, ...);

// The file, or NULL; the checked open, since Microsoft's runtime marks the plain one deprecated.
FILE* Open(const wchar_t* path, const wchar_t* mode);

// Starts a new results file in folder (which ends in '\'), its path put in name (MAX_PATH), for all that follows.
void OpenResults(const wchar_t* folder, wchar_t* name);
