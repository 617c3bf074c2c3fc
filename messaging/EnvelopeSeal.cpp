#include "messaging/EnvelopeSeal.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>

#include <omniORB4/cdrStream.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include "messaging/PayloadCheck.h"

namespace messaging {

namespace {

std::string Hex(const unsigned char* data, std::size_t size)
{
  static const char digits[] = "0123456789abcdef";
  std::string text(size * 2, '0');
  for (std::size_t i = 0; i < size; ++i) {
    text[2 * i] = digits[data[i] >> 4];
    text[2 * i + 1] = digits[data[i] & 0x0F];
  }
  return text;
}

// Kinds the walker does not take apart (object references, value types, fixed, long
// double): the payload is covered up to them, and by its type identity.
struct Unsupported
{
};

// A payload deeper or larger than any the payload check lets in: the walk stops instead of
// following it (a checked payload never gets here; one built in this process might).
struct TooLarge
{
};

// Reads a value of a given type from a CDR stream and writes its canonical form: fixed-width
// little-endian numbers, length-prefixed texts, type identities instead of encoded type codes.
// messaging/README.md describes the form for agents that check seals themselves.
class Canonical
{
public:
  // `anys`: how many anys hold what is walked (a letter's payload is one).
  Canonical(cdrStream& in, std::string& out, unsigned anys = 0)
    : m_in(in), m_out(out), m_limits(CurrentPayloadLimits()), m_anys(anys)
  {
  }

  void Type(CORBA::TypeCode_ptr tc)
  {
    const Level level(*this);
    Charge(1);
    const CORBA::TCKind kind = tc->kind();
    Number(static_cast<std::uint64_t>(kind), 4);
    switch (kind) {
    case CORBA::tk_objref:
    case CORBA::tk_struct:
    case CORBA::tk_union:
    case CORBA::tk_enum:
    case CORBA::tk_alias:
    case CORBA::tk_except:
    case CORBA::tk_value:
    case CORBA::tk_value_box:
    case CORBA::tk_native:
    case CORBA::tk_abstract_interface:
    case CORBA::tk_local_interface:
      Text(tc->id());
      break;
    case CORBA::tk_string:
    case CORBA::tk_wstring:
      Number(tc->length(), 4);
      break;
    case CORBA::tk_sequence:
    case CORBA::tk_array: {
      Number(tc->length(), 4);
      CORBA::TypeCode_var content = tc->content_type();
      Type(content.in());
      break;
    }
    default:
      break;
    }
  }

  void Value(CORBA::TypeCode_ptr type)
  {
    const Level level(*this);
    Charge(1);
    CORBA::TypeCode_var tc = CORBA::TypeCode::_duplicate(type);
    for (unsigned aliases = 0; tc->kind() == CORBA::tk_alias; ++aliases) {
      if (aliases > m_limits.nesting)
        throw TooLarge();
      tc = tc->content_type();
    }
    switch (tc->kind()) {
    case CORBA::tk_null:
    case CORBA::tk_void:
      break;
    case CORBA::tk_short:
    case CORBA::tk_ushort:
    case CORBA::tk_long:
    case CORBA::tk_ulong:
    case CORBA::tk_enum:
    case CORBA::tk_longlong:
    case CORBA::tk_ulonglong:
    case CORBA::tk_boolean:
    case CORBA::tk_char:
    case CORBA::tk_octet:
    case CORBA::tk_wchar:
    case CORBA::tk_float:
    case CORBA::tk_double:
      PlainNumber(tc->kind());
      break;
    case CORBA::tk_string: {
      CORBA::String_var s = m_in.unmarshalString();
      Text(s.in());
      break;
    }
    case CORBA::tk_wstring: {
      CORBA::WString_var w = m_in.unmarshalWString();
      const std::size_t n = std::wcslen(w.in());
      Number(n, 4);
      for (std::size_t i = 0; i < n; ++i)
        Number(static_cast<std::uint32_t>(w.in()[i]), 4);
      break;
    }
    case CORBA::tk_struct:
    case CORBA::tk_except:
      for (CORBA::ULong i = 0; i < tc->member_count(); ++i) {
        CORBA::TypeCode_var member = tc->member_type(i);
        Value(member.in());
      }
      break;
    case CORBA::tk_union:
      Union(tc.in());
      break;
    case CORBA::tk_sequence: {
      const CORBA::ULong n = m_in.unmarshalULong();
      Number(n, 4);
      CORBA::TypeCode_var content = tc->content_type();
      Elements(content.in(), n);
      break;
    }
    case CORBA::tk_array: {
      CORBA::TypeCode_var content = tc->content_type();
      Elements(content.in(), tc->length());
      break;
    }
    case CORBA::tk_any: {
      if (m_anys >= m_limits.anys)
        throw TooLarge();
      ++m_anys;
      CORBA::TypeCode_var inner = CORBA::TypeCode::unmarshalTypeCode(m_in);
      Type(inner.in());
      Value(inner.in());
      --m_anys;
      break;
    }
    case CORBA::tk_TypeCode: {
      CORBA::TypeCode_var inner = CORBA::TypeCode::unmarshalTypeCode(m_in);
      Type(inner.in());
      break;
    }
    default:
      throw Unsupported();
    }
  }

private:
  // Depth of the walk, bounded like the payload check's nesting.
  class Level
  {
  public:
    explicit Level(Canonical& c) : m_c(c)
    {
      if (++m_c.m_depth > m_c.m_maxDepth)
        throw TooLarge();
    }
    ~Level() { --m_c.m_depth; }

  private:
    Canonical& m_c;
  };

  // Elements of a sequence or an array; their count was read from the payload, so every
  // element costs work, octet runs included, and a count past the bytes left stops the walk.
  void Elements(CORBA::TypeCode_ptr content, CORBA::ULong n)
  {
    if (n == 0)
      return;
    CORBA::TypeCode_var plain = CORBA::TypeCode::_duplicate(content);
    while (plain->kind() == CORBA::tk_alias && m_depth < m_maxDepth)
      plain = plain->content_type();
    const CORBA::TCKind kind = plain->kind();
    if (const CORBA::ULong size = NumberSize(kind); size != 0) {
      // A run of numbers costs what the payload check charges for it; the stream must hold it.
      if (!m_in.checkInputOverrun(size, n))
        throw TooLarge();
      Charge(1 + std::uint64_t(n) * size / 256);
      for (CORBA::ULong i = 0; i < n; ++i)
        PlainNumber(kind);
      return;
    }
    for (CORBA::ULong i = 0; i < n; ++i)
      Value(content);
  }

  static CORBA::ULong NumberSize(CORBA::TCKind kind)
  {
    switch (kind) {
    case CORBA::tk_boolean:
    case CORBA::tk_char:
    case CORBA::tk_octet:
      return 1;
    case CORBA::tk_short:
    case CORBA::tk_ushort:
      return 2;
    case CORBA::tk_long:
    case CORBA::tk_ulong:
    case CORBA::tk_float:
      return 4;
    case CORBA::tk_longlong:
    case CORBA::tk_ulonglong:
    case CORBA::tk_double:
      return 8;
    default:
      return 0;
    }
  }

  // A value of a kind NumberSize knows, in its canonical form.
  void PlainNumber(CORBA::TCKind kind)
  {
    if (kind == CORBA::tk_float) {
      CORBA::Float f;
      f <<= m_in;
      std::uint32_t bits;
      std::memcpy(&bits, &f, sizeof bits);
      Number(bits, 4);
    } else if (kind == CORBA::tk_double) {
      CORBA::Double d;
      d <<= m_in;
      std::uint64_t bits;
      std::memcpy(&bits, &d, sizeof bits);
      Number(bits, 8);
    } else {
      Number(static_cast<std::uint64_t>(Integer(kind)), 8);
    }
  }

  void Charge(std::uint64_t units)
  {
    m_work += units;
    if (m_work > m_limits.work)
      throw TooLarge();
  }

  // Integral kinds (and enums, booleans, characters) widened to 64 bits.
  std::int64_t Integer(CORBA::TCKind kind)
  {
    switch (kind) {
    case CORBA::tk_short: {
      CORBA::Short v;
      v <<= m_in;
      return v;
    }
    case CORBA::tk_ushort: {
      CORBA::UShort v;
      v <<= m_in;
      return v;
    }
    case CORBA::tk_long: {
      CORBA::Long v;
      v <<= m_in;
      return v;
    }
    case CORBA::tk_ulong:
    case CORBA::tk_enum:
      return m_in.unmarshalULong();
    case CORBA::tk_longlong: {
      CORBA::LongLong v;
      v <<= m_in;
      return v;
    }
    case CORBA::tk_ulonglong: {
      CORBA::ULongLong v;
      v <<= m_in;
      return static_cast<std::int64_t>(v);
    }
    case CORBA::tk_boolean:
      return m_in.unmarshalBoolean();
    case CORBA::tk_char:
      return static_cast<unsigned char>(m_in.unmarshalChar());
    case CORBA::tk_octet:
      return m_in.unmarshalOctet();
    case CORBA::tk_wchar:
      return m_in.unmarshalWChar();
    default:
      throw Unsupported();
    }
  }

  void Union(CORBA::TypeCode_ptr tc)
  {
    CORBA::TypeCode_var discriminatorType = tc->discriminator_type();
    CORBA::TypeCode_var plain = CORBA::TypeCode::_duplicate(discriminatorType.in());
    while (plain->kind() == CORBA::tk_alias)
      plain = plain->content_type();
    const std::int64_t discriminator = Integer(plain->kind());
    Number(static_cast<std::uint64_t>(discriminator), 8);
    CORBA::Long chosen = -1;
    Charge(tc->member_count());  // labels are scanned one by one
    for (CORBA::ULong i = 0; i < tc->member_count() && chosen < 0; ++i) {
      if (static_cast<CORBA::Long>(i) == tc->default_index())
        continue;
      CORBA::Any_var label = tc->member_label(i);
      cdrMemoryStream labelStream(CORBA::ULong(0), CORBA::Boolean(1));
      label->NP_marshalDataOnly(labelStream);
      Canonical reader(labelStream, m_out);
      if (reader.Integer(plain->kind()) == discriminator)
        chosen = static_cast<CORBA::Long>(i);
    }
    if (chosen < 0)
      chosen = tc->default_index();  // -1: a label without a branch carries nothing
    if (chosen >= 0) {
      CORBA::TypeCode_var member = tc->member_type(static_cast<CORBA::ULong>(chosen));
      Value(member.in());
    }
  }

  void Number(std::uint64_t v, int bytes)
  {
    for (int i = 0; i < bytes; ++i)
      m_out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  }
  void Text(const char* s)
  {
    const std::size_t n = s ? std::strlen(s) : 0;
    Number(n, 4);
    m_out.append(s ? s : "", n);
  }

  cdrStream& m_in;
  std::string& m_out;
  const PayloadLimits m_limits;
  // Values nest at most `nesting` deep, and each level may add an alias and an any.
  const unsigned m_maxDepth = 3 * m_limits.nesting;
  unsigned m_depth = 0;
  unsigned m_anys = 0;
  std::uint64_t m_work = 0;
};

}  // namespace

std::string NewSessionKey()
{
  unsigned char bytes[32];
  if (RAND_bytes(bytes, sizeof bytes) != 1)
    throw std::runtime_error("no random bytes for a session key");
  return Hex(bytes, sizeof bytes);
}

std::string CanonicalPayload(const CORBA::Any& payload)
{
  std::string out;
  try {
    CORBA::TypeCode_var tc = payload.type();
    cdrMemoryStream value(CORBA::ULong(0), CORBA::Boolean(1));
    payload.NP_marshalDataOnly(value);
    Canonical canonical(value, out, 1);
    canonical.Type(tc.in());
    canonical.Value(tc.in());
  } catch (const Unsupported&) {
    out += "\x01unsupported";
  } catch (const TooLarge&) {
    // Never a seal over a form cut short: two payloads that differ past the cut would share it.
    throw PayloadTooLarge("a payload too large or too deep to seal");
  } catch (const CORBA::SystemException& e) {
    throw std::runtime_error(std::string("an unreadable payload (") + e._name() + ")");
  }
  return out;
}

std::string SealOf(const CorvexMessaging::Envelope& envelope, const std::string& key)
{
  // The header in CDR (its padding comes from this zeroed buffer), then the payload in its
  // canonical form.
  cdrMemoryStream header(CORBA::ULong(0), CORBA::Boolean(1));
  header.setByteSwapFlag(1);  // little-endian on every machine
  header.marshalString(envelope.originator.in());
  envelope.physical_destination >>= header;
  envelope.timestamps >>= header;
  envelope.message_id >>= header;
  const CorvexMessaging::Message& m = envelope.client_info;
  header.marshalString(m.destination.in());
  m.prio >>= header;
  m.ttl >>= header;
  header.marshalString(m.type.in());
  header.marshalString(m.delivery_options.in());
  const std::string payload = CanonicalPayload(m.custom_data);


  std::string data(static_cast<const char*>(header.bufPtr()), header.bufSize());
  data += payload;
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
            data.size(), mac, &length))
    throw std::runtime_error("cannot compute an envelope seal");
  return Hex(mac, length);
}

bool HasSeal(const CorvexMessaging::Envelope& envelope, const std::string& key)
{
  if (key.empty())
    return false;
  const char* certificate = envelope.originator_certificate.in();
  if (!certificate)
    return false;
  std::string expected;
  try {
    expected = SealOf(envelope, key);
  } catch (...) {
    return false;
  }
  return std::strlen(certificate) == expected.size() && CRYPTO_memcmp(certificate, expected.data(), expected.size()) == 0;
}

}  // namespace messaging
