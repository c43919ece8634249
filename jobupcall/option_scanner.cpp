// option_scanner: a minimal classic option scanner ("lLp:Pr:Rt:" style) without messages of its own.
#include "option_scanner.h"
#include "kfr60.h"

#include <string.h>

int optionIndex = 1;
const char *optionArgument = NULL;
// Next letter inside a group such as -lt30; empty: take the next argument.
static const char *scanPosition = "";

// Moves to the first letter of the next argument; false at the end of the options.
static bool startArgument(int argc, char *const argv[])
{
    if (optionIndex >= argc || argv[optionIndex][0] != '-') {
        scanPosition = "";
        return false;
    }
    if (argv[optionIndex][1] == '\0')
        return false;  // a lone "-" stays unconsumed
    if (strcmp(argv[optionIndex], "--") == 0) {
        optionIndex++;
        return false;
    }
    scanPosition = argv[optionIndex] + 1;
    return true;
}

int nextOption(int argc, char *const argv[], const char *optionString)
{
    if (*scanPosition == '\0' && !startArgument(argc, argv))
        return OPTION_END;
    int letter = (unsigned char)*scanPosition++;
    const char *known = letter == ':' ? NULL : lqs_strchr(0, optionString, letter);
    if (known == NULL) {
        if (letter == '-')
            return OPTION_END;
        if (*scanPosition == '\0')
            optionIndex++;
        return '?';
    }
    if (known[1] != ':') {
        optionArgument = NULL;
        if (*scanPosition == '\0')
            optionIndex++;
        return letter;
    }
    if (*scanPosition != '\0') {
        optionArgument = scanPosition;
    } else if (++optionIndex >= argc) {
        scanPosition = "";
        return '?';
    } else {
        optionArgument = argv[optionIndex];
    }
    scanPosition = "";
    optionIndex++;
    return letter;
}
