#include "tolvane/bytes/bytes_map.hpp"

namespace tolvane {

template class BasicBytesMap<SipKeyedHash>;

}  // namespace tolvane
