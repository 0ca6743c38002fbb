#pragma once
// What a put into a leaf the container reaches without a walk (its root
// leaf, or the hot leaf of its insert path) did with the key.

#include "tolvane/core/types.hpp"

namespace tolvane {

struct PutPlace {
    enum Outcome : u8 {
        Declined,  // nothing changed: the caller takes the longer road
        Present,   // the key was there already; nothing changed
        Added,     // the key (and its value) went in
    };
    Outcome outcome = Declined;
    // Map flavour: the key's value word, for Present and Added; else null.
    u64* value = nullptr;
};

}  // namespace tolvane
