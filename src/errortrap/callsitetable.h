#pragma once

#include <cstdint>

namespace vantor {

// Whether `ip` lies in one of the regions of the call-site table of a function's exception data
// (its LSDA, as g++ writes it), `regionStart` being the function's start. For an ip outside
// every region the C++ unwinder calls std::terminate instead of unwinding the frame: a throw
// cannot pass it. Reads nothing but the table; false for an encoding it does not know.
bool inCallSiteTable(const unsigned char *lsda, std::uintptr_t regionStart, std::uintptr_t ip) noexcept;

} // namespace vantor
