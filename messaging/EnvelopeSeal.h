#pragma once
// Envelope seals. The router seals every envelope it delivers with the receiving client's
// session key: an HMAC-SHA256 (hex, in originator_certificate) over everything else the
// envelope carries. Payloads are hashed in a canonical form (type identities and values, not
// their CDR bytes), since an ORB is free to vary the padding inside encoded type codes.
#include <stdexcept>
#include <string>

#include "idl/CorvexMessaging.hh"

namespace messaging {

// A payload nested deeper or larger than the payload check lets in (messaging/PayloadCheck.h);
// SealOf and CanonicalPayload throw it rather than walk on.
class PayloadTooLarge : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

// A fresh random session key (hex text).
std::string NewSessionKey();
std::string SealOf(const CorvexMessaging::Envelope& envelope, const std::string& key);
// True when the envelope's originator_certificate is its seal under the key.
bool HasSeal(const CorvexMessaging::Envelope& envelope, const std::string& key);
// The canonical bytes of a payload: equal for equal type and value however they were encoded.
// PayloadTooLarge past the payload check's bounds; std::runtime_error when the any's own bytes
// do not hold its value.
std::string CanonicalPayload(const CORBA::Any& payload);

}  // namespace messaging
