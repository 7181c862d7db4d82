// Process-wide start of the libraries the primitives use.
#pragma once

namespace vornex::crypto {

// libcrypto frees its tables in an exit handler of its own. Threads the
// interpreter does not stop at exit (daemon threads inside a call, which
// run without the interpreter lock) may still be hashing or unwrapping
// keys then, and the process crashes on its way out. Started here first,
// libcrypto registers no such handler and its state lasts as long as the
// process. Started by someone else first (Python's hashlib, say), it has
// one; so this also registers an exit handler of ours, which runs before
// any registered earlier and closes the gate every call into libcrypto
// passes (core::LibcryptoCall). It also uses every primitive once, so
// that each library's one-time start, under locks of its own, is over
// before any other thread can fork. The module calls this as it loads,
// with the interpreter lock held. False when a library cannot start, a
// primitive fails or the handlers cannot be registered.
bool start_libraries() noexcept;

}  // namespace vornex::crypto
