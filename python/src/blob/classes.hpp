#pragma once
// The class object of the blob map, for registration.

#include "frame/object.hpp"

namespace tolvane::py {

ClassSpec& blob_map_class();

}  // namespace tolvane::py
