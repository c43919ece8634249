// compiled_library: the fixture of tests that compile the library in.
#ifndef KVD_COMPILED_LIBRARY_H
#define KVD_COMPILED_LIBRARY_H

#include "test_support.h"
#include "KVDnotificationLibrary.h"
#include "program_util.h"

namespace kvdtest {

// No export opens the shared objects of a library compiled into a test
// program: the suite opens them, as the first call of an export would.
class CompiledLibraryTest : public RegistryTest {
protected:
    static void SetUpTestSuite()
    {
        initialize();
    }
    static void TearDownTestSuite()
    {
        deInitialize();
    }
    // Switches the trace on into a file named after the running test.
    static std::string traceThisTest(DWORD level)
    {
        const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string path = enableTrace(level, std::string(info->name()) + ".trc");
        TRACE_INITIALIZE();
        return path;
    }
};

}  // namespace kvdtest

#endif
