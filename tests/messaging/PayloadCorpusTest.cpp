// Inputs that once crashed, stalled or exhausted a process that read payloads (tests/messaging/
// corpus: the hostile cases found by hand, named probe-*, and what fuzzing the bare ORB turned
// up, named orb-*), replayed through every reader of ours: the checks, both decoders, the
// canonical form and the seal. Each is refused or read, within seconds, and never crashes.
// Files ending in .gz are stored compressed (the deep ones are megabytes of repetition).
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "idl/CorvexMessaging.hh"
#include "messaging/EnvelopeCodec.h"
#include "messaging/EnvelopeSeal.h"
#include "messaging/PayloadCheck.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

void EnsureOrb()
{
  static CORBA::ORB_var orb = [] {
    int argc = 0;
    return CORBA::ORB_init(argc, nullptr);
  }();
}

Bytes ReadInput(const fs::path& path)
{
  std::ifstream in(path, std::ios::binary);
  Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (path.extension() != ".gz")
    return bytes;
  z_stream z{};
  if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK)
    throw std::runtime_error("zlib");
  Bytes out;
  z.next_in = bytes.data();
  z.avail_in = static_cast<uInt>(bytes.size());
  int status = Z_OK;
  while (status == Z_OK) {
    std::uint8_t chunk[65536];
    z.next_out = chunk;
    z.avail_out = sizeof chunk;
    status = inflate(&z, Z_NO_FLUSH);
    out.insert(out.end(), chunk, chunk + (sizeof chunk - z.avail_out));
  }
  inflateEnd(&z);
  if (status != Z_STREAM_END)
    throw std::runtime_error(path.string() + ": not a whole gzip stream");
  return out;
}

std::vector<fs::path> Corpus()
{
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(CORVEX_PAYLOAD_CORPUS))
    if (entry.is_regular_file())
      files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

double Seconds(const std::chrono::steady_clock::time_point& since)
{
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// What each reader made of one input.
struct Outcome
{
  bool messageAccepted = false;
  bool envelopeAccepted = false;
  std::string why;
};

// Every reader of ours over the bytes: as a message (the library's and the relay's road), as an
// envelope and as a bare any. What the decoders accept is put through the canonical form and
// the seal, and encoded again into bytes the check still passes.
Outcome Replay(const Bytes& bytes)
{
  Outcome outcome;
  std::string why;
  messaging::CheckAnyEncapsulation(bytes.data(), bytes.size(), why);
  try {
    const CorvexMessaging::Message message = messaging::DecodeMessage(bytes.data(), bytes.size());
    outcome.messageAccepted = true;
    messaging::CanonicalPayload(message.custom_data);
    CorvexMessaging::Envelope envelope;
    envelope.originator = "PC1.Agent";
    envelope.message_id = 1;
    envelope.client_info = message;
    messaging::SealOf(envelope, "key");
    const Bytes again = messaging::EncodeMessage(message);
    EXPECT_TRUE(messaging::CheckMessageEncapsulation(again.data(), again.size(), why)) << why;
  } catch (const messaging::MalformedPayload& refused) {
    outcome.why = refused.what();
  }
  try {
    const CorvexMessaging::Envelope envelope = messaging::DecodeEnvelope(bytes.data(), bytes.size());
    outcome.envelopeAccepted = true;
    messaging::SealOf(envelope, "key");
  } catch (const messaging::MalformedPayload&) {
  }
  return outcome;
}

TEST(PayloadCorpus, EveryInputIsRefusedOrReadWithinSecondsAndNeverCrashesAReader)
{
  EnsureOrb();
  const auto files = Corpus();
  // The corpus is part of the tree: an empty or missing one would make this test pass on nothing.
  const auto probes = std::count_if(files.begin(), files.end(), [](const fs::path& p) {
    return p.filename().string().rfind("probe-", 0) == 0;
  });
  const auto found = std::count_if(files.begin(), files.end(), [](const fs::path& p) {
    return p.filename().string().rfind("orb-", 0) == 0;
  });
  ASSERT_GE(probes, 20);
  ASSERT_GE(found, 50);

  std::size_t accepted = 0;
  double slowest = 0;
  std::string slowestName;
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.filename().string());
    const Bytes bytes = ReadInput(file);
    const auto start = std::chrono::steady_clock::now();
    const Outcome outcome = Replay(bytes);
    const double took = Seconds(start);
    // A hang detector, not a speed target: the worst of these once ran for minutes.
    EXPECT_LT(took, 5.0);
    if (took > slowest) {
      slowest = took;
      slowestName = file.filename().string();
    }
    accepted += outcome.messageAccepted ? 1 : 0;
    // The hand-made ones are hostile by construction: no reader may take them.
    if (file.filename().string().rfind("probe-", 0) == 0) {
      EXPECT_FALSE(outcome.messageAccepted);
      EXPECT_FALSE(outcome.envelopeAccepted);
      EXPECT_NE(outcome.why.find("malformed message"), std::string::npos) << outcome.why;
    }
  }
  std::cout << "  " << files.size() << " inputs (" << probes << " probes, " << found << " from fuzzing), " << accepted
            << " read as messages; slowest " << slowestName << " in " << slowest << " s\n";
}

// The canonical form (and with it the seal) walks a payload on its own: it keeps the check's
// bounds even for an any that never went through the check, built in this process.
CORBA::Any Crafted(CORBA::TypeCode_ptr type, CORBA::Any::pr_marshal_fn write)
{
  CORBA::Any any;
  static int nothing = 0;
  any.PR_insert(type, write, &nothing);
  return any;
}

TEST(PayloadCorpus, TheSealsWalkStopsAtTheChecksBoundsOnPayloadsBuiltInProcess)
{
  EnsureOrb();
  int argc = 0;
  CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr);
  const auto seal = [](const CORBA::Any& payload) {
    CorvexMessaging::Envelope envelope;
    envelope.originator = "PC1.Agent";
    envelope.client_info.custom_data = payload;
    return messaging::SealOf(envelope, "key");
  };
  const auto within = [](const std::function<void()>& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return Seconds(start);
  };

  // 2^32 empty structs (the ORB builds no arrays of nulls), in a type code alone: values of no
  // size, which the walk once went through one by one.
  CORBA::StructMemberSeq noMembers;
  CORBA::TypeCode_var empty = orb->create_struct_tc("IDL:Empty:1.0", "Empty", noMembers);
  CORBA::TypeCode_var inner = orb->create_array_tc(65536, empty);
  CORBA::TypeCode_var outer = orb->create_array_tc(65536, inner);
  const CORBA::Any empties = Crafted(outer, [](cdrStream&, void*) {});
  EXPECT_LT(within([&] { EXPECT_THROW(messaging::CanonicalPayload(empties), messaging::PayloadTooLarge); }), 5.0);
  EXPECT_THROW(seal(empties), messaging::PayloadTooLarge);
  EXPECT_FALSE(messaging::HasSeal([&] {
    CorvexMessaging::Envelope envelope;
    envelope.originator_certificate = "0000";
    envelope.client_info.custom_data = empties;
    return envelope;
  }(), "key"));

  // A sequence of 2^32-1 of them, four bytes of count, and a million: refused either way.
  CORBA::TypeCode_var emptySequence = orb->create_sequence_tc(0, empty);
  const CORBA::Any counted = Crafted(emptySequence, [](cdrStream& s, void*) { CORBA::ULong(0xFFFFFFFF) >>= s; });
  EXPECT_THROW(messaging::CanonicalPayload(counted), std::runtime_error);
  const CORBA::Any million = Crafted(emptySequence, [](cdrStream& s, void*) { CORBA::ULong(1000001) >>= s; });
  EXPECT_THROW(messaging::CanonicalPayload(million), std::runtime_error);

  // A sequence of octets longer than its bytes: refused, whichever reader notices first.
  CORBA::TypeCode_var octets = orb->create_sequence_tc(0, CORBA::_tc_octet);
  const CORBA::Any short_ = Crafted(octets, [](cdrStream& s, void*) { CORBA::ULong(1000000) >>= s; });
  EXPECT_THROW(messaging::CanonicalPayload(short_), std::runtime_error);

  // Anys inside anys: as deep as the check allows is sealed, one more is not.
  auto nested = [](unsigned depth) {
    CORBA::Any any;
    any <<= CORBA::Long(7);
    for (unsigned i = 1; i < depth; ++i) {
      CORBA::Any wrapper;
      wrapper <<= any;
      any = wrapper;
    }
    return any;
  };
  EXPECT_NO_THROW(seal(nested(messaging::kMaxAnyNesting)));
  EXPECT_THROW(seal(nested(messaging::kMaxAnyNesting + 1)), messaging::PayloadTooLarge);

  // A million longs are one run: sealed, as the check passes them.
  CORBA::ULongSeq longs;
  longs.length(1000000);
  CORBA::Any many;
  many <<= longs;
  std::string canonical;
  EXPECT_NO_THROW(canonical = messaging::CanonicalPayload(many));
  EXPECT_GT(canonical.size(), 8u * 1000000);
}

// The limits are settings of the process: tighter ones refuse what the defaults pass, in the
// check and in the seal's walk alike, and values out of range are refused whole.
TEST(PayloadCorpus, TheLimitsAreSettingsThatTheCheckAndTheSealBothKeep)
{
  EnsureOrb();
  const messaging::PayloadLimits defaults = messaging::CurrentPayloadLimits();
  auto letter = [](const CORBA::Any& payload) {
    CorvexMessaging::Message m;
    m.destination = "PTLManagementService";
    m.prio = 0;
    m.ttl = 60;
    m.type = "Tz-Test";
    m.delivery_options = "";
    m.custom_data = payload;
    return messaging::EncodeMessage(m);
  };
  auto passes = [](const Bytes& bytes) {
    std::string why;
    return messaging::CheckMessageEncapsulation(bytes.data(), bytes.size(), why);
  };
  CORBA::Any three;  // an any in an any in the letter's any
  {
    CORBA::Any inner, middle;
    inner <<= CORBA::Long(1);
    middle <<= inner;
    three <<= middle;
  }
  CorvexMessaging::String_seq strings;
  strings.length(5000);
  for (CORBA::ULong i = 0; i < strings.length(); ++i)
    strings[i] = CORBA::string_dup("x");
  CORBA::Any many;
  many <<= strings;
  CorvexMessaging::Timestamp_seq stamps;  // a sequence of structs: three levels deep
  stamps.length(1);
  stamps[0].name = CORBA::string_dup("r");
  CORBA::Any deep;
  deep <<= stamps;

  ASSERT_TRUE(passes(letter(three)));
  ASSERT_TRUE(passes(letter(many)));
  ASSERT_TRUE(passes(letter(deep)));
  EXPECT_NO_THROW(messaging::CanonicalPayload(three));

  messaging::SetPayloadLimits({defaults.nesting, 2, defaults.work});
  EXPECT_FALSE(passes(letter(three)));
  EXPECT_THROW(messaging::CanonicalPayload(three), messaging::PayloadTooLarge);
  messaging::SetPayloadLimits({defaults.nesting, defaults.anys, 1000});
  EXPECT_FALSE(passes(letter(many)));
  EXPECT_THROW(messaging::CanonicalPayload(many), messaging::PayloadTooLarge);
  // A message's payload is two levels down: a number in it passes four levels, a struct in a
  // sequence in it does not.
  messaging::SetPayloadLimits({4, defaults.anys, defaults.work});
  CORBA::Any number;
  number <<= CORBA::Long(3);
  EXPECT_TRUE(passes(letter(number)));
  EXPECT_FALSE(passes(letter(deep)));

  messaging::SetPayloadLimits(defaults);
  EXPECT_TRUE(passes(letter(three)));
  EXPECT_TRUE(passes(letter(many)));
  for (const messaging::PayloadLimits bad : {messaging::PayloadLimits{1, 8, 1000000}, messaging::PayloadLimits{65, 8, 1000000},
                                             messaging::PayloadLimits{32, 0, 1000000}, messaging::PayloadLimits{32, 17, 1000000},
                                             messaging::PayloadLimits{32, 8, 999}, messaging::PayloadLimits{32, 8, 100000001}})
    EXPECT_THROW(messaging::SetPayloadLimits(bad), std::invalid_argument);
  EXPECT_EQ(messaging::CurrentPayloadLimits().work, defaults.work);
}

}  // namespace
