// option_scanner: a minimal classic option scanner ("lLp:Pr:Rt:" style) without messages of its own.
#ifndef OPTION_SCANNER_H
#define OPTION_SCANNER_H

// Index of the next argument to examine; starts at 1.
extern int optionIndex;
// Argument of the option just read, for letters followed by ":" in the option string.
extern const char *optionArgument;

const int OPTION_END = -1;

// The next option letter; '?' for a letter outside optionString or a missing argument; OPTION_END at the first
// argument that is not an option, at "-", and after "--".
int nextOption(int argc, char *const argv[], const char *optionString);

#endif
