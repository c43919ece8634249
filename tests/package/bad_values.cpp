// bad_values: registry values of the wrong type, empty, or 4 KB long, for the bad-input tests.
#include "bad_values.h"

namespace kvdpkg {

std::string longText()
{
    std::string text;
    while (text.size() < LONG_SIZE - 1)
        text += "0123456789abcdef";
    return text.substr(0, LONG_SIZE - 1);
}

void badValue(ValueKind kind, BadForm form, DWORD *type, std::string *bytes)
{
    if (form == WRONG_TYPE) {
        *type = kind == KIND_DWORD ? REG_SZ : REG_DWORD;
        *bytes = kind == KIND_DWORD ? std::string("1", 2) : std::string("\1\0\0\0", 4);
    } else if (form == EMPTY) {
        *type = kind == KIND_DWORD ? REG_DWORD : kind == KIND_TEXT ? REG_SZ : REG_MULTI_SZ;
        bytes->clear();
    } else if (kind == KIND_DWORD) {
        *type = REG_DWORD;
        *bytes = std::string(LONG_SIZE, '\x07');
    } else {
        // A multi-string of one 4 KB text: an entry without its ID and count.
        *type = kind == KIND_TEXT ? REG_SZ : REG_MULTI_SZ;
        *bytes = longText() + std::string(kind == KIND_TEXT ? 1 : 2, '\0');
    }
}

std::string withoutCR(const std::string &text)
{
    std::string out;
    for (char c : text)
        if (c != '\r')
            out += c;
    return out;
}

}  // namespace kvdpkg
