#include "messaging/EnvelopeCodec.h"

#include <stdexcept>

namespace messaging {

std::vector<std::uint8_t> EncodeEnvelope(const CorvexMessaging::Envelope& envelope)
{
  cdrEncapsulationStream stream(CORBA::ULong(0), CORBA::Boolean(1));
  envelope >>= stream;
  const auto* begin = static_cast<const std::uint8_t*>(stream.bufPtr());
  return std::vector<std::uint8_t>(begin, begin + stream.bufSize());
}

CorvexMessaging::Envelope DecodeEnvelope(const std::uint8_t* data, std::size_t size)
{
  if (!data || size == 0)
    throw std::runtime_error("empty envelope data");
  try {
    cdrEncapsulationStream stream(reinterpret_cast<const CORBA::Octet*>(data), static_cast<CORBA::ULong>(size), 1);
    CorvexMessaging::Envelope envelope;
    envelope <<= stream;
    return envelope;
  } catch (const CORBA::SystemException& e) {
    throw std::runtime_error(std::string("malformed envelope data (") + e._name() + ")");
  }
}

bool PayloadIs(const CORBA::Any& payload, CORBA::TypeCode_ptr type)
{
  const CORBA::TypeCode_var held = payload.type();
  return held->equivalent(type);
}

}  // namespace messaging
