#include "platform/cpu_features.h"

namespace kestra {

bool cpuHasAvx2() {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    static const bool has = __builtin_cpu_supports("avx2") != 0;
    return has;
#else
    return false;
#endif
}

bool cpuHasAvx512() {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    // The compiler's check also asks the system (XGETBV) whether it saves the
    // mask and 512-bit registers.
    static const bool has = __builtin_cpu_supports("avx512f") != 0 &&
                            __builtin_cpu_supports("avx512bw") != 0 &&
                            __builtin_cpu_supports("avx512vl") != 0;
    return has;
#else
    return false;
#endif
}

}  // namespace kestra
