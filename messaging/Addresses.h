#pragma once
// Client addresses as the router and the library accept them.
#include <string>

namespace messaging {

// 1 to 255 bytes of well-formed UTF-8 without control characters, blanks or ':' (the
// router's own address), neither beginning nor ending with '.'.
bool IsValidClientAddress(const std::string& address);

// The computer a client address stands for: the address up to its last '.' ("PC7.Agent" ->
// "PC7"); empty for an address without '.', which names a service rather than a computer.
std::string ComputerOf(const std::string& address);

}  // namespace messaging
