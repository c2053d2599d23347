// Keeps the Wine desktop of a test prefix in use until its standard input closes.
//
// The first process of a session that needs the desktop decides how it is drawn. A process
// started without a DISPLAY while no desktop exists would create one that cannot show windows,
// and later processes with a DISPLAY would share it. Holding the desktop from the start of the
// session keeps it on the X display for every process that has one.

#include <windows.h>

int main() {
    GetDesktopWindow();
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[64];
    DWORD got = 0;
    while (ReadFile(input, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    }
    return 0;
}
