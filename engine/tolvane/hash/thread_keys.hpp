#pragma once
// The per-thread source of SipHash keys for every keyed hash table the
// system makes (the byte map's hash, the concurrent map's per-thread reader
// table). A thread draws 16 random bytes from the kernel on its first need;
// each table then takes the thread's current pair and moves the thread's k0
// on by one, so tables made on one thread never share a key and hash orders
// differ between tables and between processes.

#include "tolvane/hash/siphash.hpp"

namespace tolvane {

// The calling thread's current key pair; afterwards the thread's k0 is one
// higher (wrapping) and its k1 unchanged. Stops the process when the kernel
// gives no random bytes.
SipKey take_thread_sip_key();

}  // namespace tolvane
