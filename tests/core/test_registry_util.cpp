// Tests of the registry helpers, the message converter and the main switch.
#include "test_support.h"
#include "registry_util.h"
#include "notify_trace.h"

#include <stdlib.h>
#include <string.h>

using namespace kvdtest;

class RegistryUtil : public RegistryTest {};

TEST_F(RegistryUtil, test_dword_is_read_and_untouched_on_failure)
{
    setDword(KVD_MAIN_KEY, "Number", 42);
    DWORD value = 0xdeadbeef;
    EXPECT_EQ(1, RegGetDWORD(KVD_ROOT, KVD_MAIN_KEY, "Number", &value));
    EXPECT_EQ(42u, value);

    value = 0xdeadbeef;
    EXPECT_EQ(0, RegGetDWORD(KVD_ROOT, KVD_MAIN_KEY, "Missing", &value));
    EXPECT_EQ(0xdeadbeefu, value);
}
