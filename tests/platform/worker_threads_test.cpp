// The workers' wait policy is chosen before the OpenMP runtime starts: run
// without OMP_WAIT_POLICY in the environment (as ctest runs it), the process
// sees the passive policy that the helper sets for itself.
#include "platform/worker_threads.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace kestra {
namespace {

TEST(WorkerThreads, WaitPolicyIsPassiveUnlessTheEnvironmentNamedOne) {
    const char* fromEnvironment = std::getenv("OMP_WAIT_POLICY");
    ASSERT_NE(fromEnvironment, nullptr) << "set before the runtime started";
    EXPECT_EQ(std::string(workerWaitPolicy()), fromEnvironment);
    EXPECT_EQ(std::string(fromEnvironment), "passive") << "run the tests without OMP_WAIT_POLICY";
    EXPECT_GE(workerThreadCount(), 1);
}

}  // namespace
}  // namespace kestra
