// core_trace_writer: writes many trace lines from its own process, for the test of interleaving.
// Usage: core_trace_writer <letter> <lines>
#include "notify_trace.h"

#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    char message[201];
    memset(message, argv[1][0], sizeof(message) - 1);
    message[sizeof(message) - 1] = '\0';
    int lines = atoi(argv[2]);

    TRACE_INITIALIZE();
    trace_class trace(TRACE_ORDINARY, "writer");
    for (int i = 0; i < lines; i++)
        TRACE_LINE(trace, TRACE_INFO, "%s", message);
    return 0;
}
