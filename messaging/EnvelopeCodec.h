#pragma once
// Envelopes as bytes (a CDR encapsulation, payload type codes included): the router keeps
// waiting letters in files of this form.
#include <cstdint>
#include <string>
#include <vector>

#include "idl/CorvexMessaging.hh"

namespace messaging {

std::vector<std::uint8_t> EncodeEnvelope(const CorvexMessaging::Envelope& envelope);
// std::runtime_error when the bytes are not an encoded envelope.
CorvexMessaging::Envelope DecodeEnvelope(const std::uint8_t* data, std::size_t size);

}  // namespace messaging
