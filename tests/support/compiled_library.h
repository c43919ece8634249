// compiled_library: the fixture of tests that compile the library in.
#ifndef KVD_COMPILED_LIBRARY_H
#define KVD_COMPILED_LIBRARY_H

#include "test_support.h"
#include "KVDnotificationLibrary.h"
#include "program_util.h"

namespace kvdtest {

// No DllMain runs for a library compiled into a test program: the suite maps
// the shared record and points the runner at its _upcallCode, as DllMain would.
class CompiledLibraryTest : public RegistryTest {
protected:
    static void SetUpTestSuite()
    {
        initialize();
        setProcessPidPointer(&shareData->_upcallCode);
    }
    static void TearDownTestSuite()
    {
        setProcessPidPointer(NULL);
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
