#include "cord/error.hpp"


namespace cord {

std::string CordError::message() const {
  switch (kind_) {
    case ErrorKind::Io: return "Cord encountered I/O error: " + text_;
    case ErrorKind::Unsupported: return "Cord does not support: " + text_;
    case ErrorKind::Validation: return "Cord could not validate: " + text_;
    case ErrorKind::Serialization: return "Cord serialization error: " + text_;
    case ErrorKind::Deserialization: return "Cord deserialization error: " + text_;
    case ErrorKind::Schema: return "Cord schema error: " + text_;
    case ErrorKind::DepthLimitExceeded: return "Cord depth limit exceeded";
    case ErrorKind::LengthLimitExceeded:
      return "Cord length limit exceeded: " + std::to_string(a_) + " exceeds maximum of " + std::to_string(b_);
    case ErrorKind::UnknownVariant: return "Cord encountered unknown enum variant index " + std::to_string(a_);
    case ErrorKind::DuplicateKey: return "Duplicate key in map";
    case ErrorKind::DuplicateElement: return "Duplicate element in set";
    case ErrorKind::TrailingBytes: return "Trailing bytes after deserialization";
    case ErrorKind::UnexpectedEof: return "Unexpected end of input";
    case ErrorKind::InvalidBool: return "Invalid boolean value";
    case ErrorKind::InvalidVarint: return "Invalid varint encoding";
    case ErrorKind::InvalidUtf8: return "Invalid UTF-8";
    case ErrorKind::NotNfc: return "String is not NFC normalized";
    case ErrorKind::NanNotAllowed: return "NaN is not allowed in canonical encoding";
    case ErrorKind::NegativeZero: return "Negative zero is not allowed in canonical encoding";
    case ErrorKind::ConflictingHints: return "Conflicting encoding hints";
    case ErrorKind::WidthOverflow: return "Value overflow for encoding width";
  }
  return "Cord error";
}

}  // namespace cord
