#include "messaging/EnvelopeCodec.h"

#include <stdexcept>

#include "messaging/PayloadCheck.h"

namespace messaging {
namespace {

template <class T>
std::vector<std::uint8_t> Encode(const T& value)
{
  cdrEncapsulationStream stream(CORBA::ULong(0), CORBA::Boolean(1));
  value >>= stream;
  const auto* begin = static_cast<const std::uint8_t*>(stream.bufPtr());
  return std::vector<std::uint8_t>(begin, begin + stream.bufSize());
}

// The ORB reads the bytes only once `check` has passed them.
template <class T>
T Decode(const std::uint8_t* data, std::size_t size, const char* what,
         bool (*check)(const std::uint8_t*, std::size_t, std::string&))
{
  std::string why;
  if (!check(data, size, why))
    throw MalformedPayload(std::string("malformed ") + what + " (" + why + ")");
  try {
    cdrEncapsulationStream stream(reinterpret_cast<const CORBA::Octet*>(data), static_cast<CORBA::ULong>(size), 1);
    T value;
    value <<= stream;
    return value;
  } catch (const CORBA::Exception& e) {
    throw MalformedPayload(std::string("malformed ") + what + " (" + e._name() + ")");
  }
}

}  // namespace

std::vector<std::uint8_t> EncodeEnvelope(const CorvexMessaging::Envelope& envelope)
{
  return Encode(envelope);
}

CorvexMessaging::Envelope DecodeEnvelope(const std::uint8_t* data, std::size_t size)
{
  return Decode<CorvexMessaging::Envelope>(data, size, "envelope data", CheckEnvelopeEncapsulation);
}

std::vector<std::uint8_t> EncodeMessage(const CorvexMessaging::Message& message)
{
  return Encode(message);
}

CorvexMessaging::Message DecodeMessage(const std::uint8_t* data, std::size_t size)
{
  return Decode<CorvexMessaging::Message>(data, size, "message", CheckMessageEncapsulation);
}

bool PayloadIs(const CORBA::Any& payload, CORBA::TypeCode_ptr type)
{
  const CORBA::TypeCode_var held = payload.type();
  return held->equivalent(type);
}

}  // namespace messaging
