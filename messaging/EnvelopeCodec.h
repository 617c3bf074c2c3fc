#pragma once
// Envelopes and messages as bytes (CDR encapsulations, payload type codes included): the router
// keeps waiting letters in files of this form, and every NATS payload is an encoded message.
// Decoding checks the bytes first (messaging/PayloadCheck.h), since the ORB's own reader is not
// safe against hostile input.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "idl/CorvexMessaging.hh"  // the ORB's headers first: the stream header needs them
#include <omniORB4/cdrStream.h>

namespace messaging {

// Bytes refused by a decoder, with the reason.
class MalformedPayload : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

std::vector<std::uint8_t> EncodeEnvelope(const CorvexMessaging::Envelope& envelope);
// MalformedPayload when the bytes are not an encoded envelope.
CorvexMessaging::Envelope DecodeEnvelope(const std::uint8_t* data, std::size_t size);

std::vector<std::uint8_t> EncodeMessage(const CorvexMessaging::Message& message);
// MalformedPayload when the bytes are not an encoded message. Needs an initialised ORB for the
// type codes and wide strings in the payload.
CorvexMessaging::Message DecodeMessage(const std::uint8_t* data, std::size_t size);

// Whether a payload holds a value of the given type.
bool PayloadIs(const CORBA::Any& payload, CORBA::TypeCode_ptr type);

// Reads a payload that came off the wire into `value` when it holds the given type (false when
// not); std::runtime_error when its bytes are not a value of that type. `value` owns every part
// read even then: plain extraction (`payload >>= const T*&`) loses its half-read copy. A type
// code only has to carry the type's repository id to count as the type, whatever it lays out.
template <class T>
bool ReadPayload(const CORBA::Any& payload, CORBA::TypeCode_ptr type, T& value)
{
  if (!PayloadIs(payload, type))
    return false;
  try {
    cdrMemoryStream bytes;
    payload.NP_marshalDataOnly(bytes);
    value <<= bytes;
  } catch (const CORBA::SystemException& e) {
    throw std::runtime_error(std::string("malformed payload (") + e._name() + ")");
  }
  return true;
}

}  // namespace messaging
