#pragma once
// A letter as clients and the router fill it: priority 0, no delivery options, no payload yet.
#include <string>

#include "idl/CorvexMessaging.hh"

namespace messaging {

inline CorvexMessaging::Message MakeLetter(const std::string& destination, const std::string& type, long ttl)
{
  CorvexMessaging::Message m;
  m.destination = CORBA::string_dup(destination.c_str());
  m.prio = 0;
  m.ttl = static_cast<CorvexMessaging::Time>(ttl);
  m.type = CORBA::string_dup(type.c_str());
  m.delivery_options = CORBA::string_dup("");
  return m;
}

}  // namespace messaging
