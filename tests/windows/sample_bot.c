/* A stand-in for kelvo_bot.exe, a real Windows console program built by the tests with mingw-w64.
 *
 * It appends one line to the file named by KELVO_BOT_RECORD, in UTF-8:
 *     <working folder>|<its own path>|<its command line>
 * and ends; or, when KELVO_BOT_HOLD names a file, it first stays alive while that file exists
 * (at most two minutes), like a bot that is running while someone updates it. The tests make
 * its versions by appending bytes to the program, which Windows ignores. */
#include <windows.h>

static void write_utf8(HANDLE file, const wchar_t *text) {
    char buffer[4 * MAX_PATH + 64];
    DWORD written;
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof buffer, NULL, NULL);
    if (length > 1)
        WriteFile(file, buffer, (DWORD)(length - 1), &written, NULL);
}

int main(void) {
    wchar_t record[MAX_PATH], hold[MAX_PATH], folder[MAX_PATH], self[MAX_PATH];
    if (!GetEnvironmentVariableW(L"KELVO_BOT_RECORD", record, MAX_PATH) ||
        !GetCurrentDirectoryW(MAX_PATH, folder) || !GetModuleFileNameW(NULL, self, MAX_PATH))
        return 2;
    HANDLE file = CreateFileW(record, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 3;
    write_utf8(file, folder);
    write_utf8(file, L"|");
    write_utf8(file, self);
    write_utf8(file, L"|");
    write_utf8(file, GetCommandLineW());
    write_utf8(file, L"\n");
    CloseHandle(file);
    if (GetEnvironmentVariableW(L"KELVO_BOT_HOLD", hold, MAX_PATH))
        for (int i = 0; i < 1200 && GetFileAttributesW(hold) != INVALID_FILE_ATTRIBUTES; ++i)
            Sleep(100);
    return 0;
}
