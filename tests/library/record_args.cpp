// record_args: a completion program for the library's tests; writes its command line to the file named first.
#include <windows.h>
#include <stdio.h>
#include <string>

int main(int argc, char **argv)
{
    if (argc < 2)
        return 99;
    // written under another name and renamed, so a reader never sees half a line
    std::string partial = std::string(argv[1]) + ".part";
    FILE *file = fopen(partial.c_str(), "wb");
    if (file == NULL)
        return 98;
    fputs(GetCommandLineA(), file);
    fclose(file);
    return MoveFileExA(partial.c_str(), argv[1], MOVEFILE_REPLACE_EXISTING) ? 0 : 97;
}
