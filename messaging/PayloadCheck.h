#pragma once
// A check of untrusted CDR bytes that runs before the ORB reads them. The ORB's own reader
// trusts lengths, counts and nesting in type codes: a hostile payload can crash it, exhaust
// the stack or make it run for minutes. This walks the encapsulation itself, type codes
// included, in time and memory linear in the input, and refuses whatever the ORB could choke
// on or our peers never send.
//
// What passes: a CDR encapsulation (byte order octet first, alignment counted from it) whose
// bytes are exactly one value of the expected type, with no trailing bytes. Inside an `any`:
//   - type code kinds null, void, short, long, ushort, ulong, longlong, ulonglong, float,
//     double, longdouble, boolean, char, wchar, octet, any, TypeCode, string, wstring, struct,
//     union, enum, sequence, array, alias and except; objrefs, value types, fixed, native,
//     Principal and unknown kinds are refused;
//   - complex type code parameters are encapsulations with their own byte order;
//   - an indirection points back, inside the same top-level type code, at the start of a
//     complex type code: one already complete (the ORB repeats shared types that way), or an
//     enclosing struct or union with a sequence in between (a recursive type);
//   - type codes at most `nesting` deep (PayloadLimits below), also when indirections are followed;
//   - union discriminators of an integer, char, boolean or enum kind, labels unique;
//   - every length and count fits in the bytes left; strings end in their NUL; wide strings
//     and wide chars are GIOP 1.2 (octet length, even); booleans are 0 or 1; enum values are
//     below the member count;
//   - values at most `nesting` deep and `any`s at most `anys` inside each other;
//   - at most `work` units of work in all (see below).
//
// Work units estimate what the ORB does with the payload, so that zero-size values (tk_null,
// empty structs) and cheap-looking type codes cannot make it loop: one unit per value read
// (a run of fixed-size numbers in a sequence or array counts one per 256 bytes), one per
// type code node once shared type codes are expanded, one per label the ORB scans to find a
// union's branch. Everything inside an `any` counts twice for each `any` around it, since the
// ORB copies an `any`'s content again at every level of nesting.
#include <cstddef>
#include <cstdint>
#include <string>

namespace messaging {

// The defaults of the limits.
inline constexpr unsigned kMaxPayloadNesting = 32;
inline constexpr unsigned kMaxAnyNesting = 8;
inline constexpr std::uint64_t kMaxPayloadWork = 1000000;

// The limits every check and every walk of a payload in this process keep. A program sets them
// at start, before payloads flow (the relay from its options, the service from its registry).
struct PayloadLimits
{
  unsigned nesting = kMaxPayloadNesting;  // 2 ... 64: the walks recurse this deep
  unsigned anys = kMaxAnyNesting;         // 1 ... 16
  std::uint64_t work = kMaxPayloadWork;   // 1,000 ... 100,000,000
};
PayloadLimits CurrentPayloadLimits();
// std::invalid_argument naming the limit out of its range.
void SetPayloadLimits(const PayloadLimits& limits);

// True when the bytes are a CDR encapsulation of one CorvexMessaging::Message; otherwise
// false with the reason (and the byte offset it concerns) in `why`.
bool CheckMessageEncapsulation(const std::uint8_t* data, std::size_t size, std::string& why);
// The same for a CorvexMessaging::Envelope.
bool CheckEnvelopeEncapsulation(const std::uint8_t* data, std::size_t size, std::string& why);
// The same for a bare `any` (type code, then value).
bool CheckAnyEncapsulation(const std::uint8_t* data, std::size_t size, std::string& why);

}  // namespace messaging
