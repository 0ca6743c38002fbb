#pragma once
// Linear leaves: searching (leaf_search.hpp) and editing (leaf_keys.hpp).

#include "tolvane/leaf/leaf_keys.hpp"
#include "tolvane/leaf/leaf_search.hpp"
