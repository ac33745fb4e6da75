#include "metrics/kernel_choice.hpp"

namespace quarix {

bool cpu_supports(std::string_view variant) {
    if (variant == "portable") return true;
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (variant == "avx512") return __builtin_cpu_supports("avx512f");
    if (variant == "avx512bw") return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
    if (variant == "avx512vnni")
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vnni");
    if (variant == "avx2") return __builtin_cpu_supports("avx2");
#endif
    return false;
}

}  // namespace quarix
