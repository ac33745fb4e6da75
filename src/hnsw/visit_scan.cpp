#include "hnsw/visit_scan.hpp"

#include <array>

#include "metrics/kernel_choice.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace quarix {
namespace {

std::size_t scan_portable(const std::uint32_t* links, std::size_t count, VisitStamp* stamps,
                          VisitStamp generation, std::uint32_t* fresh) {
    std::size_t found = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t id = links[i];
        if (stamps[id] == generation) continue;
        stamps[id] = generation;
        fresh[found++] = id;
    }
    return found;
}

std::size_t merged_portable(const std::uint32_t* low, const std::uint32_t* high, const std::uint32_t* selector,
                            std::size_t count, VisitStamp* stamps, VisitStamp generation, std::uint32_t* fresh) {
    std::size_t found = 0, lows = 0, highs = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const bool is_high = selector[i / 32] >> (i % 32) & 1;
        const std::uint32_t id = is_high ? high[highs] : low[lows];
        highs += is_high;
        lows += !is_high;
        if (stamps[id] == generation) continue;
        stamps[id] = generation;
        fresh[found++] = id;
    }
    return found;
}

#if defined(__x86_64__)

constexpr std::size_t kAheadIds = 128;

__attribute__((target("avx2"))) std::size_t scan_avx2(const std::uint32_t* links, std::size_t count,
                                                      VisitStamp* stamps, VisitStamp generation,
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

// Stamps are gathered sixteen at a time and the unseen ones scattered back.
__attribute__((target("avx512f"))) std::size_t scan_avx512(const std::uint32_t* links, std::size_t count,
                                                           VisitStamp* stamps, VisitStamp generation,
                                                           std::uint32_t* fresh) {
    const __m512i gen = _mm512_set1_epi32(static_cast<int>(generation));
    std::size_t found = 0, i = 0;
    for (; i + 16 <= count; i += 16) {
        __builtin_prefetch(links + i + kAheadIds);
        const __m512i ids = _mm512_loadu_si512(links + i);
        const __mmask16 unseen = _mm512_cmpneq_epi32_mask(
            _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), 0xFFFF, ids, stamps, 4), gen);
        if (!unseen) continue;
        // Compressed in a register and stored whole (found + 16 <= i + 16
        // <= count, inside the caller's buffer): a compressing store to
        // memory is very slow on some processors.
        _mm512_storeu_si512(fresh + found, _mm512_maskz_compress_epi32(unseen, ids));
        found += static_cast<std::size_t>(__builtin_popcount(unseen));
        // The ids of a list are distinct, so no two lanes write one stamp.
        _mm512_mask_i32scatter_epi32(stamps, unseen, ids, gen, 4);
    }
    return found + scan_portable(links + i, count - i, stamps, generation, fresh + found);
}

// Sixteen links at a time: each stream's next ids are spread into the lanes
// the selector gives them, then tested as in scan_avx512.
__attribute__((target("avx512f"))) std::size_t merged_avx512(const std::uint32_t* low, const std::uint32_t* high,
                                                             const std::uint32_t* selector, std::size_t count,
                                                             VisitStamp* stamps, VisitStamp generation,
                                                             std::uint32_t* fresh) {
    const __m512i gen = _mm512_set1_epi32(static_cast<int>(generation));
    std::size_t found = 0, lows = 0, highs = 0;
    for (std::size_t i = 0; i < count; i += 16) {
        const __mmask16 valid = count - i >= 16 ? 0xFFFF : static_cast<__mmask16>((1u << (count - i)) - 1);
        const __mmask16 from_high = static_cast<__mmask16>(selector[i / 32] >> (i % 32)) & valid;
        const __mmask16 from_low = static_cast<__mmask16>(~from_high) & valid;
        __builtin_prefetch(low + lows + kAheadIds);
        __builtin_prefetch(high + highs + kAheadIds);
        const __m512i ids = _mm512_mask_expand_epi32(_mm512_maskz_expand_epi32(from_low, _mm512_loadu_si512(low + lows)),
                                                     from_high, _mm512_loadu_si512(high + highs));
        lows += static_cast<std::size_t>(__builtin_popcount(from_low));
        highs += static_cast<std::size_t>(__builtin_popcount(from_high));
        const __mmask16 unseen = _mm512_mask_cmpneq_epi32_mask(valid, _mm512_mask_i32gather_epi32(gen, valid, ids, stamps, 4), gen);
        if (!unseen) continue;
        _mm512_storeu_si512(fresh + found, _mm512_maskz_compress_epi32(unseen, ids));
        found += static_cast<std::size_t>(__builtin_popcount(unseen));
        _mm512_mask_i32scatter_epi32(stamps, unseen, ids, gen, 4);
    }
    return found;
}

#endif

constexpr VisitScan kPortable{scan_portable, merged_portable, "portable"};
#if defined(__x86_64__)
constexpr VisitScan kAvx2{scan_avx2, merged_portable, "avx2"};
constexpr VisitScan kAvx512{scan_avx512, merged_avx512, "avx512"};
#endif

// Fastest first; the portable variant runs everywhere.
constexpr auto kVariants = std::to_array<const VisitScan*>({
#if defined(__x86_64__)
    &kAvx512, &kAvx2,
#endif
    &kPortable});

const VisitScan& kChosen = fastest_variant(kVariants);

}  // namespace

const VisitScan& visit_scan() { return kChosen; }

const VisitScan* visit_scan_named(const char* name) { return named_variant(kVariants, name); }

}  // namespace quarix
