// upcall_endpoint: an endpoint for jobupcall runs: folders, queue file, the child's environment, authorized runs.
#ifndef UPCALL_ENDPOINT_H
#define UPCALL_ENDPOINT_H

#include "test_support.h"

#include <string>
#include <vector>

namespace upcalltest {

struct UpcallResult {
    DWORD exitCode = 0xdeadbeef;
    std::string out;   // as captured by the library, carriage returns removed
    std::string err;   // the child's standard error, carriage returns removed
};

// An endpoint under the work folder: app\ holds jobupcall.exe and the library,
// bin\ (XEP_BINDIR) the five runtime DLLs, cache\ (XEP_CACHEDIR), data\ (XEP_DATDIR).
struct Endpoint {
    std::string root, appDir, binDir, cacheDir, dataDir;
};

const Endpoint &endpoint();
std::string queuePath();
void writeQueue(const std::vector<std::string> &lines);
std::string readQueue();
std::string tracePath();
// The runtime trace with carriage returns removed.
std::string readTrace();
bool traceContains(const std::string &text);

// A job line of this package (Palvento, concurrent logins allowed) with extra properties.
std::string myJob(const std::string &distID, int state, const std::string &extra = "");

// The child's environment: the caller's, with Path prefixed by bin;cache; and the XEP_ variables set.
std::string childEnvironment(const std::vector<std::string> &extra = {});

// Runs jobupcall with the library's child-process runner, so that the caller check passes.
UpcallResult runUpcall(const std::string &arguments, const std::vector<std::string> &extraEnvironment = {});
// Runs it directly, as anyone but the library would.
UpcallResult runUpcallDirectly(const std::string &arguments);
std::string jobupcallPath();
std::string usageText();

// Every case starts from an empty queue and no trace file.
class UpcallTest : public kvdtest::RegistryTest {
protected:
    void SetUp() override;
};

}  // namespace upcalltest

#endif
