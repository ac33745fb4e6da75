// The Python class PyHNSW.
#pragma once

#include "binding/type_cell.hpp"

namespace quarix::py {

TypeCell& hnsw_type_cell();

}  // namespace quarix::py
