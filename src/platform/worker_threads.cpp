// libgomp reads OMP_WAIT_POLICY once, in its own constructor, when the
// runtime is loaded; setting it from main (or any later code) changes
// nothing. Linked statically (both builds link libgomp.a), the runtime's
// constructor has the default priority, so a constructor of priority 101
// runs before it and can still choose the policy. An explicit
// OMP_WAIT_POLICY in the environment is left as it is.
#include "platform/worker_threads.h"

#include <omp.h>

#include <cstdlib>

namespace kestra {

namespace {

constexpr const char* kWaitPolicyVariable = "OMP_WAIT_POLICY";

#if defined(__GNUC__)
__attribute__((constructor(101))) void chooseWorkerWaitPolicy() {
    if (std::getenv(kWaitPolicyVariable) != nullptr) {
        return;
    }
#if defined(_WIN32)
    _putenv("OMP_WAIT_POLICY=passive");
#else
    setenv(kWaitPolicyVariable, "passive", 0);
#endif
}
#endif

}  // namespace

int workerThreadCount() {
    return omp_get_max_threads();
}

const char* workerWaitPolicy() {
    const char* policy = std::getenv(kWaitPolicyVariable);
    return policy != nullptr ? policy : "default";
}

}  // namespace kestra
