// The check that runs before the ORB reads a payload: everything our peers really send passes
// and decodes unchanged; what would crash the ORB or keep it busy is refused at once; damaged
// messages never crash the decoder.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "idl/CorvexMessaging.hh"
#include "idl/DEX_PTLMessages.hh"
#include "messaging/EnvelopeCodec.h"
#include "messaging/EnvelopeSeal.h"
#include "messaging/Letters.h"
#include "messaging/PayloadCheck.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void EnsureOrb()
{
  static CORBA::ORB_var orb = [] {
    int argc = 0;
    return CORBA::ORB_init(argc, nullptr);
  }();
}

// Hand-made CDR: alignment counts from the innermost encapsulation, each of which has its own
// byte order; End() closes the innermost one and fills in its length.
class Cdr
{
public:
  explicit Cdr(bool little = true) : m_frames{{0, 0, little}} { m_bytes.push_back(little ? 1 : 0); }

  std::size_t Pos() const { return m_bytes.size(); }
  // Where the next type code's kind will stand.
  std::size_t Mark()
  {
    while ((Pos() - m_frames.back().base) % 4 != 0)
      m_bytes.push_back(0);
    return Pos();
  }
  Cdr& Octet(std::uint8_t value)
  {
    m_bytes.push_back(value);
    return *this;
  }
  Cdr& Number(std::uint64_t value, std::size_t size)
  {
    while ((Pos() - m_frames.back().base) % size != 0)
      m_bytes.push_back(0);
    for (std::size_t i = 0; i < size; ++i)
      m_bytes.push_back(static_cast<std::uint8_t>(value >> (8 * (m_frames.back().little ? i : size - 1 - i))));
    return *this;
  }
  Cdr& ULong(std::uint32_t value) { return Number(value, 4); }
  Cdr& String(const std::string& text)
  {
    ULong(static_cast<std::uint32_t>(text.size() + 1));
    m_bytes.insert(m_bytes.end(), text.begin(), text.end());
    return Octet(0);
  }
  Cdr& Begin(bool little = true)
  {
    ULong(0);
    m_frames.push_back({Pos() - 4, Pos(), little});
    return Octet(little ? 1 : 0);
  }
  Cdr& End()
  {
    const Frame frame = m_frames.back();
    m_frames.pop_back();
    const auto length = static_cast<std::uint32_t>(Pos() - frame.base);
    for (std::size_t i = 0; i < 4; ++i)
      m_bytes[frame.lengthAt + i] = static_cast<std::uint8_t>(length >> (8 * (m_frames.back().little ? i : 3 - i)));
    return *this;
  }
  // An indirection to the type code whose kind stands at `target`.
  Cdr& Indirect(std::size_t target)
  {
    ULong(0xFFFFFFFF);
    return ULong(static_cast<std::uint32_t>(static_cast<std::int64_t>(target) - static_cast<std::int64_t>(Pos())));
  }
  // The opening of a struct type code, up to its member count.
  Cdr& StructHead(const std::string& id, std::uint32_t members, bool little = true)
  {
    return ULong(CORBA::tk_struct).Begin(little).String(id).String("").ULong(members);
  }
  Bytes Done() const { return m_bytes; }

private:
  struct Frame
  {
    std::size_t lengthAt, base;
    bool little;
  };
  std::vector<Frame> m_frames;
  Bytes m_bytes;
};

// A message up to its custom_data: the any's type code and value come next.
Cdr MessageHead(bool little = true)
{
  Cdr cdr(little);
  cdr.String("PC1.Agent").ULong(1).ULong(3600).String("Tz-Test").String("");
  return cdr;
}

std::string WhyRefused(const Bytes& bytes)
{
  std::string why;
  return messaging::CheckMessageEncapsulation(bytes.data(), bytes.size(), why) ? "(accepted)" : why;
}

CorvexMessaging::Message Letter(const char* type, const CORBA::Any& payload)
{
  CorvexMessaging::Message m = messaging::MakeLetter("PTLManagementService", type, 3600);
  m.custom_data = payload;
  return m;
}

DEX_PTLMessages::ComputerStatus2 Computer()
{
  DEX_PTLMessages::ComputerStatus2 computer;
  computer.domain = CORBA::wstring_dup(L"BÜRO");
  computer.computer_name = CORBA::wstring_dup(L"PC7");
  computer.operating_system = CORBA::string_dup("WINXP");
  computer.service_pack = CORBA::string_dup("Service Pack 2");
  computer.ip_address = 0x0A000007;
  computer.computer_comment = CORBA::wstring_dup(L"");
  computer.last_logged_on_user = CORBA::wstring_dup(L"anna \u00e9\u4e2d");
  return computer;
}

CorvexMessaging::Message StatusReply()
{
  DEX_PTLMessages::AgentStatus status;
  status.request_id = 1;
  status.app_statuses.length(2);
  status.app_statuses[0].entity = CORBA::string_dup("Agent");
  status.app_statuses[0].status <<= Computer();
  DEX_PTLMessages::StatusAndConfig dex;
  dex.status = CORBA::string_dup("<status/>");
  dex.configuration = CORBA::string_dup("<config/>");
  status.app_statuses[1].entity = CORBA::string_dup("DEX");
  status.app_statuses[1].status <<= dex;
  CORBA::Any any;
  any <<= status;
  return Letter("Tz-GetStatus-Reply", any);
}

// Every kind of payload the system sends, each as a letter.
std::vector<std::pair<std::string, CorvexMessaging::Message>> RealLetters()
{
  std::vector<std::pair<std::string, CorvexMessaging::Message>> letters;
  CORBA::Any any;
  letters.emplace_back("status reply", StatusReply());

  DEX_PTLMessages::AppEvent2 event;
  event.entity = CORBA::string_dup("DEX");
  event.event = CORBA::string_dup("<event/>");
  event.domain = CORBA::wstring_dup(L"CORP");
  event.computer_name = CORBA::wstring_dup(L"PC1");
  any <<= event;
  letters.emplace_back("entity event", Letter("Tz-EntityEvent", any));

  DEX_PTLMessages::DoActionContent action;
  action.entity = CORBA::string_dup("DEX");
  action.correlationId = CORBA::string_dup("42");
  action.action = CORBA::string_dup("<scan/>");
  any <<= action;
  letters.emplace_back("do action", Letter("Tz-DoAction", any));

  DEX_PTLMessages::AppConfiguration config;
  config.entity = CORBA::string_dup("DEX");
  config.config = CORBA::string_dup("<config a='1'/>");
  any <<= config;
  letters.emplace_back("configuration", Letter("Tz-SetConfig", any));

  any <<= CORBA::Any::from_boolean(true);
  letters.emplace_back("boolean", Letter("Tz-Reply", any));
  any <<= "PC1";
  letters.emplace_back("string", Letter("Tz-RouterLogon", any));
  letters.emplace_back("empty any", Letter("Tz-GetStatus", CORBA::Any()));

  DEX_PTLMessages::ApplicationErrorMessage error;
  error.message = CORBA::wstring_dup(L"failed");
  error.message_id = 12;
  error.arguments.length(4);
  error.arguments[0].long_mem(-4);
  error.arguments[1]._d(DEX_PTLMessages::FLOAT_ARG);
  error.arguments[2].wstring_mem(CORBA::wstring_dup(L"x"));
  error.arguments[3].time_mem(1700000000);
  error.user = CORBA::string_dup("anna");
  any <<= error;
  letters.emplace_back("application error", Letter("Tz-EntityEvent", any));
  DEX_PTLMessages::ErrorArgument floatArgument;
  floatArgument._d(DEX_PTLMessages::FLOAT_ARG);
  any <<= floatArgument;
  letters.emplace_back("FLOAT_ARG alone", Letter("Tz-Test", any));

  CorvexMessaging::Status router;
  router.name = CORBA::string_dup("corvex-relay");
  router.clients.length(2);
  router.clients[0] = CORBA::string_dup("PC1.Agent");
  router.clients[1] = CORBA::string_dup("PTLManagementService");
  router.parentRouter = CORBA::string_dup("");
  router.loggedOn = true;
  any <<= router;
  letters.emplace_back("router status", Letter("Tz-RouterStatus", any));

  // A delivery-failure notice carries the undelivered envelope, payload and all.
  CorvexMessaging::Envelope undelivered;
  undelivered.originator_certificate = CORBA::string_dup("");
  undelivered.originator = CORBA::string_dup("PTLManagementService");
  undelivered.timestamps.length(1);
  undelivered.timestamps[0].name = CORBA::string_dup("corvex-relay");
  undelivered.timestamps[0].utc_time = 1700000000;
  undelivered.message_id = 7;
  undelivered.client_info = StatusReply();
  any <<= undelivered;
  letters.emplace_back("delivery failure", Letter("MS-DeliveryFailed-Timeout", any));
  return letters;
}

template <class F>
double Milliseconds(F&& f)
{
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

TEST(PayloadCheck, EverythingWeSendPassesAndDecodesUnchanged)
{
  EnsureOrb();
  for (const auto& [name, letter] : RealLetters()) {
    SCOPED_TRACE(name);
    const Bytes bytes = messaging::EncodeMessage(letter);
    EXPECT_EQ(WhyRefused(bytes), "(accepted)");
    const CorvexMessaging::Message decoded = messaging::DecodeMessage(bytes.data(), bytes.size());
    EXPECT_STREQ(decoded.destination, letter.destination);
    EXPECT_EQ(decoded.prio, letter.prio);
    EXPECT_EQ(decoded.ttl, letter.ttl);
    EXPECT_STREQ(decoded.type, letter.type);
    EXPECT_EQ(messaging::CanonicalPayload(decoded.custom_data), messaging::CanonicalPayload(letter.custom_data));
  }

  // Envelopes as such are checked the same way.
  const auto letters = RealLetters();
  const CorvexMessaging::Envelope* envelope = nullptr;
  ASSERT_TRUE(letters.back().second.custom_data >>= envelope);
  const Bytes enveloped = messaging::EncodeEnvelope(*envelope);
  std::string why;
  EXPECT_TRUE(messaging::CheckEnvelopeEncapsulation(enveloped.data(), enveloped.size(), why)) << why;
  EXPECT_FALSE(messaging::CheckMessageEncapsulation(enveloped.data(), enveloped.size(), why));
  EXPECT_EQ(messaging::DecodeEnvelope(enveloped.data(), enveloped.size()).message_id, 7);
}

// Other writers may choose the other byte order, and a type code's parameters have their own:
// alignment then counts from each encapsulation's start. The ORB must read what the check
// passed, with the same values.
TEST(PayloadCheck, FollowsByteOrderAndAlignmentOfEachEncapsulation)
{
  EnsureOrb();
  // Big-endian message; sequence<double> aliased, the alias's parameters little-endian.
  Cdr doubles = MessageHead(false);
  doubles.ULong(CORBA::tk_alias).Begin(true).String("IDL:omg.org/CORBA/DoubleSeq:1.0").String("DoubleSeq");
  doubles.ULong(CORBA::tk_sequence).Begin(false).ULong(CORBA::tk_double).ULong(0).End().End();
  double half = 0.5;
  std::uint64_t halfBits = 0;
  std::memcpy(&halfBits, &half, sizeof half);
  doubles.ULong(2).Number(halfBits, 8).Number(halfBits, 8);
  const Bytes bytes = doubles.Done();
  ASSERT_EQ(WhyRefused(bytes), "(accepted)");
  const auto letter = messaging::DecodeMessage(bytes.data(), bytes.size());
  const CORBA::DoubleSeq* values = nullptr;
  ASSERT_TRUE(letter.custom_data >>= values);
  ASSERT_EQ(values->length(), 2u);
  EXPECT_EQ((*values)[1], 0.5);

  // A union on long long: its labels are aligned inside the type code's encapsulation.
  Cdr unions = MessageHead();
  unions.ULong(CORBA::tk_union).Begin(false).String("IDL:U:1.0").String("U").ULong(CORBA::tk_longlong);
  unions.ULong(0xFFFFFFFF).ULong(2);
  unions.Number(5, 8).String("a").ULong(CORBA::tk_long);
  unions.Number(std::uint64_t(-9), 8).String("b").ULong(CORBA::tk_string).ULong(0).End();
  unions.Number(std::uint64_t(-9), 8).String("chosen");
  const Bytes union_ = unions.Done();
  ASSERT_EQ(WhyRefused(union_), "(accepted)");
  const auto unionLetter = messaging::DecodeMessage(union_.data(), union_.size());
  const CORBA::TypeCode_var type = unionLetter.custom_data.type();
  CORBA::Any_var label = type->member_label(1);
  CORBA::LongLong value = 0;
  ASSERT_TRUE(label.in() >>= value);
  EXPECT_EQ(value, -9);
}

// Each of these crashed the ORB's reader or kept it busy for minutes.
TEST(PayloadCheck, RefusesAtOnceWhatWouldCrashOrStallTheOrb)
{
  EnsureOrb();
  std::vector<std::pair<std::string, Bytes>> hostile;

  Cdr members = MessageHead();
  members.StructHead("IDL:S:1.0", 0xFFFFFFFF).End();
  hostile.emplace_back("struct of 0xFFFFFFFF members", members.Done());

  Cdr anys = MessageHead();
  for (int i = 0; i < 500000; ++i)
    anys.ULong(CORBA::tk_any);
  anys.ULong(CORBA::tk_null);
  hostile.emplace_back("any nested 500,000 deep", anys.Done());

  Cdr sequences = MessageHead();
  for (int i = 0; i < 100000; ++i)
    sequences.ULong(CORBA::tk_sequence).Begin();
  sequences.ULong(CORBA::tk_long);
  for (int i = 0; i < 100000; ++i)
    sequences.ULong(0).End();
  sequences.ULong(0);
  hostile.emplace_back("100,000 nested sequence type codes", sequences.Done());

  Cdr nulls = MessageHead();
  nulls.ULong(CORBA::tk_array).Begin().ULong(CORBA::tk_array).Begin().ULong(CORBA::tk_null).ULong(65536).End();
  nulls.ULong(65536).End();
  hostile.emplace_back("array of 2^32 nulls", nulls.Done());

  Cdr emptyStructs = MessageHead();
  emptyStructs.ULong(CORBA::tk_sequence).Begin().StructHead("IDL:E:1.0", 0).End().ULong(0).End().ULong(0xFFFFFFFF);
  hostile.emplace_back("sequence of 2^32-1 empty structs", emptyStructs.Done());

  // Structs S0..S27 side by side, each with two members of the one before: 2^28 nodes once
  // the indirections are followed, in a few kilobytes.
  Cdr shared = MessageHead();
  shared.ULong(CORBA::tk_sequence).Begin().StructHead("IDL:Holder:1.0", 28);
  std::size_t previous = shared.String("m").Mark();
  shared.StructHead("IDL:S0:1.0", 1).String("x").ULong(CORBA::tk_null).End();
  for (int i = 1; i < 28; ++i) {
    const std::size_t here = shared.String("m").Mark();
    shared.StructHead("IDL:S" + std::to_string(i) + ":1.0", 2).String("x").Indirect(previous).String("y").Indirect(previous).End();
    previous = here;
  }
  shared.End().ULong(0).End().ULong(0);
  hostile.emplace_back("type code doubling 28 times through shared members", shared.Done());

  for (const auto& [name, bytes] : hostile) {
    SCOPED_TRACE(name);
    std::string why;
    const double checkTime = Milliseconds([&] { EXPECT_FALSE(messaging::CheckMessageEncapsulation(bytes.data(), bytes.size(), why)); });
    const double decodeTime = Milliseconds([&] { EXPECT_THROW(messaging::DecodeMessage(bytes.data(), bytes.size()), messaging::MalformedPayload); });
    EXPECT_LT(checkTime, 500.0);
    std::cout << "  " << name << " (" << bytes.size() << " bytes): refused in " << checkTime << " ms (" << why << ")\n";
    (void)decodeTime;
  }
}

// What the check lets through at its limits still decodes in moments.
TEST(PayloadCheck, PayloadsAtTheLimitsDecodeQuickly)
{
  EnsureOrb();
  std::vector<std::pair<std::string, Bytes>> large;

  Cdr members = MessageHead();
  members.StructHead("IDL:Wide:1.0", 240000);
  for (int i = 0; i < 240000; ++i)
    members.String("").ULong(CORBA::tk_null);
  members.End();
  large.emplace_back("struct of 240,000 null members", members.Done());

  Cdr labels = MessageHead();
  labels.ULong(CORBA::tk_union).Begin().String("IDL:U:1.0").String("U").ULong(CORBA::tk_ulong).ULong(-1).ULong(160000);
  for (std::uint32_t i = 0; i < 160000; ++i)
    labels.ULong(i).String("").ULong(CORBA::tk_long);
  labels.End().ULong(159999).ULong(7);
  large.emplace_back("union of 160,000 branches", labels.Done());

  Cdr enums = MessageHead();
  enums.ULong(CORBA::tk_sequence).Begin().ULong(CORBA::tk_enum).Begin().String("IDL:E:1.0").String("E").ULong(1000000);
  for (int i = 0; i < 1000000; ++i)
    enums.String("");
  enums.End().ULong(0).End().ULong(200000);
  for (std::uint32_t i = 0; i < 200000; ++i)
    enums.ULong(i * 5);
  large.emplace_back("200,000 values of an enum of 1,000,000 members", enums.Done());

  Cdr anys = MessageHead();
  anys.ULong(CORBA::tk_sequence).Begin().ULong(CORBA::tk_any).ULong(0).End().ULong(30000);
  for (int i = 0; i < 30000; ++i)
    anys.StructHead("IDL:P:1.0", 2).String("a").ULong(CORBA::tk_long).String("b").ULong(CORBA::tk_string).ULong(0).End().ULong(i).String("v");
  large.emplace_back("30,000 anys", anys.Done());

  Cdr octets = MessageHead();
  octets.ULong(CORBA::tk_sequence).Begin().ULong(CORBA::tk_octet).ULong(0).End().ULong(8000000);
  for (int i = 0; i < 8000000; ++i)
    octets.Octet(static_cast<std::uint8_t>(i));
  large.emplace_back("8,000,000 octets", octets.Done());

  for (const auto& [name, bytes] : large) {
    SCOPED_TRACE(name);
    std::string why;
    const double checkTime = Milliseconds([&] { EXPECT_TRUE(messaging::CheckMessageEncapsulation(bytes.data(), bytes.size(), why)) << why; });
    const double decodeTime = Milliseconds([&] { messaging::DecodeMessage(bytes.data(), bytes.size()); });
    std::cout << "  " << name << " (" << bytes.size() << " bytes): checked in " << checkTime << " ms, decoded in " << decodeTime << " ms\n";
    EXPECT_LT(decodeTime, 2000.0);
  }
}

// The ORB copies an any's content again at every level: nesting is capped, and what is inside
// nested anys counts double per level.
TEST(PayloadCheck, NestedAnysAreCappedAndCounted)
{
  EnsureOrb();
  auto nested = [](unsigned depth, const CORBA::Any& inner) {
    CORBA::Any any = inner;
    for (unsigned i = 1; i < depth; ++i) {
      CORBA::Any outer;
      outer <<= any;
      any = outer;
    }
    return messaging::EncodeMessage(Letter("Tz-Test", any));
  };
  CORBA::Any number;
  number <<= CORBA::Long(5);
  const Bytes deepest = nested(messaging::kMaxAnyNesting, number);
  EXPECT_EQ(WhyRefused(deepest), "(accepted)");
  EXPECT_LT(Milliseconds([&] { messaging::DecodeMessage(deepest.data(), deepest.size()); }), 100.0);
  EXPECT_NE(WhyRefused(nested(messaging::kMaxAnyNesting + 1, number)).find("anys nested more than 8 deep"), std::string::npos);

  // 20,000 strings pass at the top, not seven anys down.
  CorvexMessaging::String_seq strings;
  strings.length(20000);
  for (CORBA::ULong i = 0; i < strings.length(); ++i)
    strings[i] = CORBA::string_dup("x");
  CORBA::Any many;
  many <<= strings;
  EXPECT_EQ(WhyRefused(nested(1, many)), "(accepted)");
  EXPECT_NE(WhyRefused(nested(7, many)).find("units of work"), std::string::npos);

  // As much as passes at the deepest level, where the ORB's copying costs most.
  strings.length(3800);
  many <<= strings;
  const Bytes heavy = nested(messaging::kMaxAnyNesting, many);
  ASSERT_EQ(WhyRefused(heavy), "(accepted)");
  const double decodeTime = Milliseconds([&] { messaging::DecodeMessage(heavy.data(), heavy.size()); });
  std::cout << "  3,800 strings in 8 nested anys: decoded in " << decodeTime << " ms\n";
  EXPECT_LT(decodeTime, 2000.0);
}

// Indirections point back at a complex type code of the same top-level type code: an earlier
// one (shared types) or an enclosing struct or union through a sequence (recursive types).
TEST(PayloadCheck, IndirectionsPointBackAtACompleteOrEnclosingTypeCode)
{
  EnsureOrb();
  // struct Node { sequence<Node> children; }, with the sequence's element written by
  // `indirection`, told where the struct and the sequence start.
  using Writer = std::function<void(Cdr&, std::size_t node, std::size_t sequence)>;
  auto tree = [](Writer indirection, unsigned depth) {
    Cdr cdr = MessageHead();
    const std::size_t node = cdr.Mark();
    const std::size_t sequence = cdr.StructHead("IDL:Node:1.0", 1).String("children").Mark();
    cdr.ULong(CORBA::tk_sequence).Begin();
    indirection(cdr, node, sequence);
    cdr.ULong(0).End().End();
    for (unsigned i = 1; i < depth; ++i)
      cdr.ULong(1);
    cdr.ULong(0);
    return cdr.Done();
  };
  const auto back = [](Cdr& cdr, std::size_t node, std::size_t) { cdr.Indirect(node); };
  const Bytes recursive = tree(back, 10);
  ASSERT_EQ(WhyRefused(recursive), "(accepted)");
  const auto letter = messaging::DecodeMessage(recursive.data(), recursive.size());
  const CORBA::TypeCode_var type = letter.custom_data.type();
  EXPECT_STREQ(type->id(), "IDL:Node:1.0");
  // A value of a recursive type is as deep as any other.
  EXPECT_NE(WhyRefused(tree(back, 20)).find("values nested more than 32 deep"), std::string::npos);

  const auto refusal = [&](Writer indirection) { return WhyRefused(tree(indirection, 1)); };
  const std::string elsewhere = "does not point at a complex type code earlier in the same type code";
  EXPECT_NE(refusal([](Cdr& c, std::size_t, std::size_t) { c.ULong(0xFFFFFFFF).ULong(8); }).find("does not point backwards"), std::string::npos);
  EXPECT_NE(refusal([](Cdr& c, std::size_t, std::size_t) { c.ULong(0xFFFFFFFF).ULong(0); }).find("does not point backwards"), std::string::npos);
  EXPECT_NE(refusal([](Cdr& c, std::size_t, std::size_t) { c.ULong(0xFFFFFFFF).ULong(-4); }).find(elsewhere), std::string::npos);
  EXPECT_NE(refusal([](Cdr& c, std::size_t, std::size_t) { c.ULong(0xFFFFFFFF).ULong(0x80000000); }).find(elsewhere), std::string::npos);
  EXPECT_NE(refusal([](Cdr& c, std::size_t node, std::size_t) { c.Indirect(node + 8); }).find(elsewhere), std::string::npos);
  EXPECT_NE(refusal([](Cdr& c, std::size_t, std::size_t) { c.Indirect(40); }).find(elsewhere), std::string::npos);  // in the message head
  // The sequence itself, still open: a type that contains itself.
  EXPECT_NE(refusal([](Cdr& c, std::size_t, std::size_t sequence) { c.Indirect(sequence); }).find("other than a struct or union"),
            std::string::npos);

  // struct S { S s; } has no finite value.
  Cdr direct = MessageHead();
  const std::size_t s = direct.Mark();
  direct.StructHead("IDL:S:1.0", 1).String("s").Indirect(s).End();
  EXPECT_NE(WhyRefused(direct.Done()).find("not through a sequence"), std::string::npos);

  // An indirection does not reach into another any's type code.
  Cdr twoAnys = MessageHead();
  twoAnys.ULong(CORBA::tk_sequence).Begin().ULong(CORBA::tk_any).ULong(0).End().ULong(2);
  const std::size_t first = twoAnys.Mark();
  twoAnys.StructHead("IDL:E:1.0", 0).End();
  twoAnys.Indirect(first);
  EXPECT_NE(WhyRefused(twoAnys.Done()).find(elsewhere), std::string::npos);
}

TEST(PayloadCheck, RefusesMalformedTypeCodesAndValues)
{
  EnsureOrb();
  const auto refusal = [](std::function<void(Cdr&)> payload) {
    Cdr cdr = MessageHead();
    payload(cdr);
    return WhyRefused(cdr.Done());
  };
  struct Case
  {
    std::string name, expected;
    std::function<void(Cdr&)> payload;
  };
  const std::vector<Case> cases = {
    {"objref", "kind 14 is not accepted", [](Cdr& c) { c.ULong(CORBA::tk_objref).Begin().String("IDL:X:1.0").String("X").End(); }},
    {"value type", "kind 29 is not accepted", [](Cdr& c) { c.ULong(CORBA::tk_value).Begin().End(); }},
    {"fixed", "kind 28 is not accepted", [](Cdr& c) { c.ULong(CORBA::tk_fixed).Number(4, 2).Number(2, 2); }},
    {"Principal", "kind 13 is not accepted", [](Cdr& c) { c.ULong(CORBA::tk_Principal).ULong(0); }},
    {"unknown kind", "kind 99 is not accepted", [](Cdr& c) { c.ULong(99); }},
    {"trailing bytes", "4 bytes after the value", [](Cdr& c) { c.ULong(CORBA::tk_long).ULong(1).ULong(2); }},
    {"string without NUL", "without its terminating NUL", [](Cdr& c) { c.ULong(CORBA::tk_string).ULong(0).ULong(2).Octet('a').Octet('b'); }},
    {"string of length 0", "length 0", [](Cdr& c) { c.ULong(CORBA::tk_string).ULong(0).ULong(0); }},
    {"string past the end", "runs past the end", [](Cdr& c) { c.ULong(CORBA::tk_string).ULong(0).ULong(100).Octet(0); }},
    {"odd wstring", "wstring of 3 octets", [](Cdr& c) { c.ULong(CORBA::tk_wstring).ULong(0).ULong(3).Octet(0).Octet(0).Octet(0); }},
    {"empty wchar", "wchar of 0 octets", [](Cdr& c) { c.ULong(CORBA::tk_wchar).Octet(0); }},
    {"boolean 2", "boolean 2", [](Cdr& c) { c.ULong(CORBA::tk_boolean).Octet(2); }},
    {"enum out of range", "enum value 2 of 2 members", [](Cdr& c) {
       c.ULong(CORBA::tk_enum).Begin().String("IDL:E:1.0").String("E").ULong(2).String("A").String("B").End().ULong(2);
     }},
    {"union on a float", "union discriminator of a kind", [](Cdr& c) {
       c.ULong(CORBA::tk_union).Begin().String("IDL:U:1.0").String("U").ULong(CORBA::tk_float).ULong(-1).ULong(0).End();
     }},
    {"union label twice", "label used twice", [](Cdr& c) {
       c.ULong(CORBA::tk_union).Begin().String("IDL:U:1.0").String("U").ULong(CORBA::tk_long).ULong(-1).ULong(2);
       c.ULong(1).String("a").ULong(CORBA::tk_long).ULong(1).String("b").ULong(CORBA::tk_short).End().ULong(1).ULong(0);
     }},
    {"union default out of range", "default member index 1 of 1", [](Cdr& c) {
       c.ULong(CORBA::tk_union).Begin().String("IDL:U:1.0").String("U").ULong(CORBA::tk_long).ULong(1).ULong(1);
       c.ULong(1).String("a").ULong(CORBA::tk_long).End();
     }},
    {"sequence over its bound", "bound 2", [](Cdr& c) {
       c.ULong(CORBA::tk_sequence).Begin().ULong(CORBA::tk_string).ULong(0).ULong(2).End().ULong(3);
     }},
    {"longs past the end", "elements of 4 bytes run past the end", [](Cdr& c) {
       c.ULong(CORBA::tk_sequence).Begin().ULong(CORBA::tk_long).ULong(0).End().ULong(0x40000000).ULong(1);
     }},
    {"encapsulation past the end", "runs past the end", [](Cdr& c) { c.ULong(CORBA::tk_sequence).ULong(1000).Octet(1); }},
    {"empty encapsulation", "empty encapsulation", [](Cdr& c) { c.ULong(CORBA::tk_sequence).ULong(0); }},
    {"byte order 2", "byte order octet 2", [](Cdr& c) { c.ULong(CORBA::tk_sequence).ULong(1).Octet(2); }},
    {"array of length 0", "array of length 0", [](Cdr& c) { c.ULong(CORBA::tk_array).Begin().ULong(CORBA::tk_long).ULong(0).End(); }},
    {"alias chain 40 deep", "nested more than 32 deep", [](Cdr& c) {
       for (int i = 0; i < 40; ++i)
         c.ULong(CORBA::tk_alias).Begin().String("IDL:A:1.0").String("A");
       c.ULong(CORBA::tk_long);
       for (int i = 0; i < 40; ++i)
         c.End();
       c.ULong(1);
     }},
  };
  for (const Case& c : cases)
    EXPECT_NE(refusal(c.payload).find(c.expected), std::string::npos) << c.name << ": " << refusal(c.payload);

  Bytes notAMessage = {2, 0, 0, 0};
  EXPECT_NE(WhyRefused(notAMessage).find("byte order octet 2"), std::string::npos);
  EXPECT_THROW(messaging::DecodeMessage(nullptr, 0), messaging::MalformedPayload);
}

// No damage to a real letter may crash the decoder: the check refuses it, or the ORB reads it
// (or refuses it itself).
TEST(PayloadCheck, TruncatedOrFlippedLettersNeverCrashTheDecoder)
{
  EnsureOrb();
  const auto letters = RealLetters();
  const Bytes good = messaging::EncodeMessage(letters.back().second);  // the fullest: an envelope inside
  for (std::size_t size = 0; size < good.size(); ++size)
    EXPECT_THROW(messaging::DecodeMessage(good.data(), size), messaging::MalformedPayload) << size;

  std::size_t accepted = 0;
  for (std::size_t at = 0; at < good.size(); ++at) {
    for (const std::uint8_t mask : {0xFF, 0x80, 0x01}) {
      Bytes bytes = good;
      bytes[at] ^= mask;
      try {
        messaging::DecodeMessage(bytes.data(), bytes.size());
        ++accepted;
      } catch (const messaging::MalformedPayload&) {
      }
    }
  }
  std::cout << "  " << 3 * good.size() << " flipped letters, " << accepted << " still accepted\n";
}

}  // namespace
