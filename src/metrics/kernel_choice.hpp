// Picking among instruction-set variants of a kernel family at load time.
// Variants are named "avx512", "avx512bw", "avx512vnni", "avx2" or "portable"; the wheel carries all of
// them and each CPU runs the fastest it supports (never -march=native).
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace quarix {

bool cpu_supports(std::string_view variant);

// variants: fastest first, the portable one last.
template <class Kernels, std::size_t N>
const Kernels& fastest_variant(const std::array<const Kernels*, N>& variants) {
    for (const Kernels* kernels : variants)
        if (cpu_supports(kernels->name)) return *kernels;
    return *variants.back();
}

// Null when no variant has that name or this CPU cannot run it.
template <class Kernels, std::size_t N>
const Kernels* named_variant(const std::array<const Kernels*, N>& variants, std::string_view name) {
    for (const Kernels* kernels : variants)
        if (name == kernels->name) return cpu_supports(name) ? kernels : nullptr;
    return nullptr;
}

}  // namespace quarix
