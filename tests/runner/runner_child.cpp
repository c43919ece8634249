// runner_child: a child program for the runner tests; its first argument picks what it does.
//   silent          writes nothing, exits 0
//   bytes N         writes N bytes of a repeating pattern (in uneven writes), exits 0
//   zero            writes "abc", a zero byte, "def", exits 0
//   close-exit MS   closes its standard output, sleeps MS milliseconds, exits 7
//   shared-pid      writes "<own id> <second DWORD of the shared record>", exits 0
//   hold MS         sleeps MS milliseconds, then writes its own identifier, exits 0
//   startup         writes "flags=<start-up flags> show=<show-window value>", exits 0
//   env NAME        writes the value of the environment variable NAME, exits 0
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char SHARED_MEMORY[] = "Global\\KVDNotificationFileMap";

static int writeAll(const char *data, DWORD length)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    while (length > 0) {
        DWORD written = 0;
        if (!WriteFile(out, data, length, &written, NULL) || written == 0)
            return 0;
        data += written;
        length -= written;
    }
    return 1;
}

// Pattern byte i is 'A' + i % 26, written in pieces of 7, 100, 7, 100... bytes.
static int writePattern(DWORD total)
{
    char *data = (char *)malloc(total + 1);
    if (data == NULL)
        return 3;
    for (DWORD i = 0; i < total; i++)
        data[i] = (char)('A' + i % 26);
    DWORD done = 0;
    for (int round = 0; done < total; round++) {
        DWORD piece = (round % 2 == 0) ? 7 : 100;
        if (piece > total - done)
            piece = total - done;
        if (!writeAll(data + done, piece)) {
            free(data);
            return 4;
        }
        done += piece;
    }
    free(data);
    return 0;
}

static int reportSharedPid()
{
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, SHARED_MEMORY);
    if (mapping == NULL)
        return 5;
    const DWORD *record = (const DWORD *)MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 2 * sizeof(DWORD));
    if (record == NULL) {
        CloseHandle(mapping);
        return 6;
    }
    char text[64];
    snprintf(text, sizeof(text), "%lu %lu", (unsigned long)GetCurrentProcessId(), (unsigned long)record[1]);
    UnmapViewOfFile(record);
    CloseHandle(mapping);
    return writeAll(text, (DWORD)strlen(text)) ? 0 : 4;
}

static int reportStartup()
{
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    GetStartupInfoA(&startup);
    char text[64];
    snprintf(text, sizeof(text), "flags=%lu show=%u", (unsigned long)startup.dwFlags, (unsigned)startup.wShowWindow);
    return writeAll(text, (DWORD)strlen(text)) ? 0 : 4;
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    const char *mode = argv[1];
    if (strcmp(mode, "silent") == 0)
        return 0;
    if (strcmp(mode, "bytes") == 0 && argc > 2)
        return writePattern((DWORD)strtoul(argv[2], NULL, 10));
    if (strcmp(mode, "zero") == 0)
        return writeAll("abc\0def", 7) ? 0 : 4;
    if (strcmp(mode, "close-exit") == 0 && argc > 2) {
        CloseHandle(GetStdHandle(STD_OUTPUT_HANDLE));
        Sleep((DWORD)strtoul(argv[2], NULL, 10));
        return 7;
    }
    if (strcmp(mode, "shared-pid") == 0)
        return reportSharedPid();
    if (strcmp(mode, "hold") == 0 && argc > 2) {
        Sleep((DWORD)strtoul(argv[2], NULL, 10));
        char text[32];
        snprintf(text, sizeof(text), "%lu", (unsigned long)GetCurrentProcessId());
        return writeAll(text, (DWORD)strlen(text)) ? 0 : 4;
    }
    if (strcmp(mode, "startup") == 0)
        return reportStartup();
    if (strcmp(mode, "env") == 0 && argc > 2) {
        const char *value = getenv(argv[2]);
        return value != NULL && writeAll(value, (DWORD)strlen(value)) ? 0 : 8;
    }
    return 2;
}
