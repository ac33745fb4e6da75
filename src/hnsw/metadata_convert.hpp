// Python objects to metadata: values, a node's row in schema order, filters.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/py_ref.hpp"
#include "hnsw/hnsw_index.hpp"
#include "hnsw/metadata_value.hpp"

namespace quarix::py {

using Pairs = std::vector<std::pair<std::string, Ref>>;

// str -> Str, then a 64-bit integer -> Int, then a float -> Float; nullopt
// when none applies (None, lists, bytes...).
std::optional<MetadataValue> to_metadata_value(PyObject* object);

// One value per schema name, in schema order; the last pair of a repeated
// name wins and undeclared names are ignored. Throws ValueError naming the
// first schema attribute that is missing or has no metadata kind.
Row assemble_row(const std::vector<std::string>& schema, const Pairs& pairs);

// Throws ValueError "Unsupported type for metadata filter".
MetadataFilter build_filter(const std::pair<std::string, Ref>& pair);

}  // namespace quarix::py
