// The framings that put a domain in front of what is signed and of what
// HPKE binds: each item is its length as 8 bytes big-endian, then its bytes,
// so no two different (domain, message) pairs frame to the same string.
#pragma once

#include "cord/wire.hpp"

namespace vornex::crypto {

// "vornex.signature.v1", then the domain, then the message.
cord::Bytes signature_transcript(cord::ByteView domain, cord::ByteView message);

// "vornex.hpke-info.v1", then the context: the HPKE info string.
cord::Bytes hpke_info(cord::ByteView context);

}  // namespace vornex::crypto
