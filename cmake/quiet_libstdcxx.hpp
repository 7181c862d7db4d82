// Included first in every translation unit clang compiles. libstdc++'s
// stable sorts call std::get_temporary_buffer, deprecated since C++17, and
// clang reports that use in the library's own header at every instantiation
// from our code. The header is read here, with that one warning off, so
// that its lines keep it off; our own code keeps every warning.
#if __has_include(<bits/stl_tempbuf.h>)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
#include <bits/stl_tempbuf.h>
#pragma clang diagnostic pop
#endif
