// Process-wide start of the libraries the primitives use.
#pragma once

namespace vornex::crypto {

// libcrypto frees its tables in an exit handler of its own. Threads the
// interpreter does not stop at exit (daemon threads inside a call, which
// run without the interpreter lock) may still be hashing or unwrapping
// keys then, and the process crashes on its way out. Started here first,
// libcrypto registers no such handler and its state lasts as long as the
// process. Only the first start in a process decides, so the module calls
// this as it loads. False when libcrypto cannot start.
bool start_libraries() noexcept;

}  // namespace vornex::crypto
