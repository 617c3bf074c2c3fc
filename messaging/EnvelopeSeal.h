#pragma once
// Envelope seals. The router seals every envelope it delivers with the receiving client's
// session key: an HMAC-SHA256 (hex, in originator_certificate) over everything else the
// envelope carries. Payloads are hashed in a canonical form (type identities and values, not
// their CDR bytes), since an ORB is free to vary the padding inside encoded type codes.
#include <string>

#include "idl/CorvexMessaging.hh"

namespace messaging {

// A fresh random session key (hex text).
std::string NewSessionKey();
std::string SealOf(const CorvexMessaging::Envelope& envelope, const std::string& key);
// True when the envelope's originator_certificate is its seal under the key.
bool HasSeal(const CorvexMessaging::Envelope& envelope, const std::string& key);
// The canonical bytes of a payload: equal for equal type and value however they were encoded.
std::string CanonicalPayload(const CORBA::Any& payload);

}  // namespace messaging
