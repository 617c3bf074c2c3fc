// Seals must agree between the library that made an envelope and the same envelope read back
// from the wire, and must change with any part of it; garbled envelope bytes are refused.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "idl/DEX_PTLMessages.hh"
#include "messaging/EnvelopeCodec.h"
#include "messaging/EnvelopeSeal.h"
#include "tests/messaging/TestSupport.h"

namespace {

using namespace messaging_test;

CorvexMessaging::Envelope StatusReply()
{
  DEX_PTLMessages::ComputerStatus2 computer;
  computer.domain = CORBA::wstring_dup(L"BÜRO");
  computer.computer_name = CORBA::wstring_dup(L"PC7");
  computer.operating_system = CORBA::string_dup("WINXP");
  computer.service_pack = CORBA::string_dup("");
  computer.ip_address = 0x0A000007;
  computer.computer_comment = CORBA::wstring_dup(L"");
  computer.last_logged_on_user = CORBA::wstring_dup(L"anna");
  DEX_PTLMessages::ApplicationErrorMessage error;
  error.message = CORBA::wstring_dup(L"failed");
  error.arguments.length(3);
  error.arguments[0].long_mem(-4);
  error.arguments[1]._d(DEX_PTLMessages::FLOAT_ARG);
  error.arguments[2].wstring_mem(CORBA::wstring_dup(L"x"));
  DEX_PTLMessages::AgentStatus status;
  status.request_id = 1;
  status.app_statuses.length(3);
  status.app_statuses[0].entity = CORBA::string_dup("Agent");
  status.app_statuses[0].status <<= computer;
  status.app_statuses[1].entity = CORBA::string_dup("DEX");
  status.app_statuses[1].status <<= error;
  status.app_statuses[2].entity = CORBA::string_dup("ALC");

  CorvexMessaging::Envelope e;
  e.originator = CORBA::string_dup("PC7.Agent");
  e.timestamps.length(1);
  e.timestamps[0].name = CORBA::string_dup("R1");
  e.timestamps[0].utc_time = 1700000000;
  e.message_id = 5;
  e.client_info = MakeMessage("SVC", "Tz-GetStatus-Reply");
  e.client_info.custom_data <<= status;
  return e;
}

TEST(EnvelopeSeal, SurvivesTheWireAndCoversEveryPart)
{
  EnsureOrb();
  CorvexMessaging::Envelope sent = StatusReply();
  sent.originator_certificate = messaging::SealOf(sent, "key").c_str();

  const auto bytes = messaging::EncodeEnvelope(sent);
  CorvexMessaging::Envelope received = messaging::DecodeEnvelope(bytes.data(), bytes.size());
  EXPECT_TRUE(messaging::HasSeal(received, "key"));
  EXPECT_TRUE(messaging::HasSeal(CorvexMessaging::Envelope(received), "key"));
  EXPECT_FALSE(messaging::HasSeal(received, "other key"));
  EXPECT_FALSE(messaging::HasSeal(received, ""));

  auto altered = [&](auto change) {
    CorvexMessaging::Envelope copy = received;
    change(copy);
    return messaging::HasSeal(copy, "key");
  };
  EXPECT_FALSE(altered([](auto& e) { e.originator = CORBA::string_dup("PC8.Agent"); }));
  EXPECT_FALSE(altered([](auto& e) { e.message_id = 6; }));
  EXPECT_FALSE(altered([](auto& e) { e.timestamps[0].utc_time += 1; }));
  EXPECT_FALSE(altered([](auto& e) { e.client_info.ttl = 61; }));
  EXPECT_FALSE(altered([](auto& e) { e.client_info.type = CORBA::string_dup("Tz-EntityEvent"); }));
  EXPECT_FALSE(altered([](auto& e) {
    const DEX_PTLMessages::AgentStatus* s = nullptr;
    e.client_info.custom_data >>= s;
    DEX_PTLMessages::AgentStatus changed = *s;
    changed.app_statuses[2].entity = CORBA::string_dup("TzLib");
    e.client_info.custom_data <<= changed;
  }));
  EXPECT_FALSE(altered([](auto& e) { e.client_info.custom_data <<= static_cast<CORBA::Long>(1); }));
}

TEST(EnvelopeSeal, CanonicalPayloadTellsTypesAndValuesApart)
{
  EnsureOrb();
  CORBA::Any a, b, c, d;
  a <<= static_cast<CORBA::Long>(7);
  b <<= static_cast<CORBA::ULong>(7);
  c <<= static_cast<CORBA::Long>(8);
  d <<= static_cast<CORBA::Long>(7);
  EXPECT_NE(messaging::CanonicalPayload(a), messaging::CanonicalPayload(b));
  EXPECT_NE(messaging::CanonicalPayload(a), messaging::CanonicalPayload(c));
  EXPECT_EQ(messaging::CanonicalPayload(a), messaging::CanonicalPayload(d));
  CORBA::Any empty;
  EXPECT_NE(messaging::CanonicalPayload(empty), messaging::CanonicalPayload(a));

  // The union branch taken counts, FLOAT_ARG carrying nothing at all.
  DEX_PTLMessages::ErrorArgument asLong, asFloat, asUlong;
  asLong.long_mem(3);
  asFloat._d(DEX_PTLMessages::FLOAT_ARG);
  asUlong.ulong_mem(3);
  CORBA::Any x, y, z;
  x <<= asLong;
  y <<= asFloat;
  z <<= asUlong;
  EXPECT_NE(messaging::CanonicalPayload(x), messaging::CanonicalPayload(z));
  EXPECT_NE(messaging::CanonicalPayload(x), messaging::CanonicalPayload(y));
}

TEST(EnvelopeCodec, RefusesBytesThatAreNoEnvelope)
{
  EnsureOrb();
  const std::uint8_t junk[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_THROW(messaging::DecodeEnvelope(junk, sizeof junk), std::runtime_error);
  EXPECT_THROW(messaging::DecodeEnvelope(nullptr, 0), std::runtime_error);
  auto bytes = messaging::EncodeEnvelope(StatusReply());
  bytes.resize(bytes.size() / 2);
  EXPECT_THROW(messaging::DecodeEnvelope(bytes.data(), bytes.size()), std::runtime_error);
}

// Found by fuzzing: type codes in the payload garbled so that the reader gives up half-way,
// once at a member name without its terminating null, once at a name whose length runs past
// the end. The decoder must refuse them plainly (and leak nothing of ours doing so).
TEST(EnvelopeCodec, RefusesGarbledTypeCodes)
{
  EnsureOrb();
  const auto good = messaging::EncodeEnvelope(StatusReply());
  ASSERT_NO_THROW(messaging::DecodeEnvelope(good.data(), good.size()));
  // The message of decoding the envelope with one byte changed: `offset` into the first `text`.
  auto refusalOf = [&](const std::string& text, std::size_t offset, std::uint8_t value) -> std::string {
    auto bytes = good;
    const auto at = std::search(bytes.begin(), bytes.end(), text.begin(), text.end());
    if (at == bytes.end())
      throw std::logic_error("not in the envelope: " + text);
    *(at + offset) = value;
    try {
      messaging::DecodeEnvelope(bytes.data(), bytes.size());
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "(accepted)";
  };
  const std::string unterminated("service_pack", sizeof "service_pack");
  // Refused by the check before the ORB reads it, with where and why.
  EXPECT_THAT(refusalOf(unterminated, unterminated.size() - 1, 0x03),
              ::testing::StartsWith("malformed envelope data (at byte "));
  const std::string sized("\x07\0\0\0entity", 10);  // a member name and its length before it
  EXPECT_THAT(refusalOf(sized, 3, 0x68), ::testing::StartsWith("malformed envelope data ("));
}

}  // namespace
