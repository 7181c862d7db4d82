// Whether these tests run under the sanitizers or unoptimised, where the
// reference engine is many times slower and the largest cases are cut down.
// gcc names AddressSanitizer with a macro, clang only as a feature.
#pragma once

namespace vornex::test {

#if defined(__SANITIZE_ADDRESS__) || !defined(NDEBUG)
inline constexpr bool kSlowBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kSlowBuild = true;
#else
inline constexpr bool kSlowBuild = false;
#endif
#else
inline constexpr bool kSlowBuild = false;
#endif

}  // namespace vornex::test
