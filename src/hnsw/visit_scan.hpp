// The inner loop of every graph walk: pick out the links not yet visited.
// Deduplicated link lists let a batch of links be tested and marked at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarix {

// Appends to `fresh` every id of links[0, count) whose stamp is not
// `generation`, in list order, and stamps it. The ids must be distinct and
// below 2^31; stamps must be readable kStampPadding bytes past the largest
// id. fresh must have room for count ids (slots past the returned count may
// be overwritten). Returns how many were appended.
using VisitScan = std::size_t (*)(const std::uint32_t* links, std::size_t count, std::uint8_t* stamps,
                                  std::uint8_t generation, std::uint32_t* fresh);
// Byte stamps keep the visited marks of large graphs in the nearest cache.
inline constexpr std::size_t kStampPadding = 3;

// The fastest scan this CPU runs, chosen when the module loads.
VisitScan visit_scan();
// By name ("portable", "avx2", "avx512"); null when this CPU cannot run it.
VisitScan visit_scan_named(const char* name);

}  // namespace quarix
