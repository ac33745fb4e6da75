#include "hnsw/visit_scan.hpp"

#include <string_view>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace quarix {
namespace {

std::size_t scan_portable(const std::uint32_t* links, std::size_t count, std::uint32_t* stamps,
                          std::uint32_t generation, std::uint32_t* fresh) {
    std::size_t found = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t id = links[i];
        if (stamps[id] == generation) continue;
        stamps[id] = generation;
        fresh[found++] = id;
    }
    return found;
}

#if defined(__x86_64__)

__attribute__((target("avx2"))) std::size_t scan_avx2(const std::uint32_t* links, std::size_t count,
                                                      std::uint32_t* stamps, std::uint32_t generation,
                                                      std::uint32_t* fresh) {
    const __m256i gen = _mm256_set1_epi32(static_cast<int>(generation));
    const int* base = reinterpret_cast<const int*>(stamps);
    std::size_t found = 0, i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256i ids = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(links + i));
        const __m256i seen = _mm256_cmpeq_epi32(_mm256_i32gather_epi32(base, ids, 4), gen);
        unsigned mask = ~static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(seen))) & 0xFFu;
        while (mask) {
            const std::uint32_t id = links[i + static_cast<unsigned>(__builtin_ctz(mask))];
            stamps[id] = generation;
            fresh[found++] = id;
            mask &= mask - 1;
        }
    }
    return found + scan_portable(links + i, count - i, stamps, generation, fresh + found);
}

__attribute__((target("avx512f"))) std::size_t scan_avx512(const std::uint32_t* links, std::size_t count,
                                                           std::uint32_t* stamps, std::uint32_t generation,
                                                           std::uint32_t* fresh) {
    const __m512i gen = _mm512_set1_epi32(static_cast<int>(generation));
    std::size_t found = 0, i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m512i ids = _mm512_loadu_si512(links + i);
        const __m512i stamped = _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), 0xFFFF, ids, stamps, 4);
        const __mmask16 unseen = _mm512_cmpneq_epi32_mask(stamped, gen);
        if (!unseen) continue;
        _mm512_mask_compressstoreu_epi32(fresh + found, unseen, ids);
        const std::size_t added = static_cast<std::size_t>(__builtin_popcount(unseen));
        for (std::size_t k = found; k < found + added; ++k) stamps[fresh[k]] = generation;
        found += added;
    }
    return found + scan_portable(links + i, count - i, stamps, generation, fresh + found);
}

bool cpu_has(const char* feature) {
    __builtin_cpu_init();
    const std::string_view name(feature);
    if (name == "avx512") return __builtin_cpu_supports("avx512f");
    if (name == "avx2") return __builtin_cpu_supports("avx2");
    return name == "portable";
}

#endif

VisitScan choose() {
#if defined(__x86_64__)
    if (cpu_has("avx512")) return scan_avx512;
    if (cpu_has("avx2")) return scan_avx2;
#endif
    return scan_portable;
}

const VisitScan kChosen = choose();

}  // namespace

VisitScan visit_scan() { return kChosen; }

VisitScan visit_scan_named(const char* name) {
    const std::string_view wanted(name);
    if (wanted == "portable") return scan_portable;
#if defined(__x86_64__)
    if (wanted == "avx2" && cpu_has("avx2")) return scan_avx2;
    if (wanted == "avx512" && cpu_has("avx512")) return scan_avx512;
#endif
    return nullptr;
}

}  // namespace quarix
