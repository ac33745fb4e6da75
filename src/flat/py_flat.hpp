// The Python class PyFlat over FlatIndex.
#pragma once

#include "binding/type_cell.hpp"

namespace quarix::py {

TypeCell& flat_type_cell();

}  // namespace quarix::py
