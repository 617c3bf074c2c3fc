#pragma once
// The two serialised forms of a managed-entity document.
#include <string>

namespace CorvexManagedEntity {

using XML_UTF8_t = std::string;    // bytes, UTF-8 encoded, declared "utf-8"
using XML_UTF16_t = std::wstring;  // wide text, declared "utf-16"

}  // namespace CorvexManagedEntity
