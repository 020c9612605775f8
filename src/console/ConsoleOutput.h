// Writes the tool's texts to standard output; each platform provides these.
#pragma once

#include <windows.h>

// The texts are written as data, byte for byte, line breaks included.
void WriteNarrowText(const char* text);
void WriteWideText(const WCHAR* text);
// Makes everything written so far visible, before the key wait.
void FlushConsoleOutput();
