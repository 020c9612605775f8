// Console output on Windows: the texts go to standard output byte for byte.
#include "console/ConsoleOutput.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

namespace {

// Binary mode, so that a "\r\n" of a text arrives as CR LF and not as CR CR LF.
void UseBinaryOutput() {
    static bool binary = false;
    if (binary)
        return;
    fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
    binary = true;
}

} // namespace

void WriteNarrowText(const char* text) {
    UseBinaryOutput();
    fputs(text, stdout);
}

// Every text of the tool is ASCII; anything else would show as a question mark.
void WriteWideText(const WCHAR* text) {
    UseBinaryOutput();
    char chunk[64];
    unsigned used = 0;
    for (; *text != 0; ++text) {
        chunk[used++] = *text < 0x80 ? static_cast<char>(*text) : '?';
        if (used == sizeof chunk) {
            fwrite(chunk, 1, used, stdout);
            used = 0;
        }
    }
    fwrite(chunk, 1, used, stdout);
}

void FlushConsoleOutput() {
    fflush(stdout);
}
