// bad_values: registry values of the wrong type, empty, or 4 KB long, for the bad-input tests.
#ifndef KVD_BAD_VALUES_H
#define KVD_BAD_VALUES_H

#include <windows.h>
#include <string>

namespace kvdpkg {

enum ValueKind { KIND_DWORD, KIND_TEXT, KIND_MULTI };
enum BadForm { WRONG_TYPE, EMPTY, LONG_4K };
static const char *const FORM_NAMES[] = {"wrong type", "empty", "4 KB long"};
static const size_t LONG_SIZE = 4096;

// A text of LONG_SIZE - 1 characters (4 KB with its terminator).
std::string longText();
// The type and bytes of a bad value of the given kind and form.
void badValue(ValueKind kind, BadForm form, DWORD *type, std::string *bytes);
// Console output with its line ends as the program meant them.
std::string withoutCR(const std::string &text);

}  // namespace kvdpkg

#endif
