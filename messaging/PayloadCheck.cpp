#include "messaging/PayloadCheck.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <utility>
#include <vector>

namespace messaging {
namespace {

// Type code kinds as CDR numbers them.
enum : std::uint32_t {
  kNull = 0,
  kVoid = 1,
  kShort = 2,
  kLong = 3,
  kUShort = 4,
  kULong = 5,
  kFloat = 6,
  kDouble = 7,
  kBoolean = 8,
  kChar = 9,
  kOctet = 10,
  kAny = 11,
  kTypeCode = 12,
  kStruct = 15,
  kUnion = 16,
  kEnum = 17,
  kString = 18,
  kSequence = 19,
  kArray = 20,
  kAlias = 21,
  kExcept = 22,
  kLongLong = 23,
  kULongLong = 24,
  kLongDouble = 25,
  kWChar = 26,
  kWString = 27,
  kIndirection = 0xFFFFFFFF,
};

// A type as the check knows it: below kNodeBase the kind of a type without parameters that
// matter to values (strings' bounds are left to the ORB), otherwise kNodeBase + the index of a
// complex type code in Checker::m_nodes.
using TypeRef = std::uint32_t;
constexpr TypeRef kNodeBase = 64;

// Sums of expanded type code sizes stop growing here, far above any budget.
constexpr std::uint64_t kSaturated = std::uint64_t(1) << 50;

struct Node
{
  std::uint32_t kind = 0;
  std::size_t start = 0;        // offset of its kind: what indirections point at
  bool complete = false;        // false while its parameters are being read
  std::uint32_t height = 1;     // nesting, indirections to complete type codes followed
  std::uint64_t expanded = 1;   // nodes, indirections to complete type codes followed
  TypeRef content = 0;          // sequence or array element, aliased type, discriminator type
  std::uint32_t count = 0;      // sequence bound, array length, enum member count
  std::int32_t defaultIndex = -1;
  std::vector<TypeRef> members;                                 // struct, except, union
  std::vector<std::pair<std::uint64_t, std::uint32_t>> labels;  // union: label, member; sorted
};

struct Refusal
{
  std::string why;
};

class Checker
{
public:
  enum class Root { Message, Envelope, Any };

  Checker(const std::uint8_t* data, std::size_t size)
    : m_data(data), m_end(size), m_limits(CurrentPayloadLimits())
  {
  }

  void Run(Root root)
  {
    if (!m_data || m_end == 0)
      throw Refusal{"no bytes"};
    // Offsets in type code indirections are 32-bit; nothing we send comes near this.
    if (m_end > 0x7FFFFFFF)
      throw Refusal{"more than 2 GB"};
    ByteOrder();
    TypeRef type = kAny;
    if (root == Root::Message)
      type = MessageType();
    else if (root == Root::Envelope)
      type = EnvelopeType();
    m_scopeBegin = m_nodes.size();
    Value(type, 1);
    if (m_pos != m_end)
      Refuse(m_pos, std::to_string(m_end - m_pos) + " bytes after the value");
  }

private:
  // --- the fixed types of the messaging system ---

  TypeRef Builtin(std::uint32_t kind, std::vector<TypeRef> members, TypeRef content = 0)
  {
    Node node;
    node.kind = kind;
    node.start = static_cast<std::size_t>(-1);
    node.complete = true;
    node.members = std::move(members);
    node.content = content;
    m_nodes.push_back(std::move(node));
    return kNodeBase + static_cast<TypeRef>(m_nodes.size() - 1);
  }

  TypeRef MessageType()
  {
    // destination, prio, ttl, type, delivery_options, custom_data
    return Builtin(kStruct, {kString, kLong, kLong, kString, kString, kAny});
  }

  TypeRef EnvelopeType()
  {
    const TypeRef strings = Builtin(kSequence, {}, kString);
    const TypeRef timestamp = Builtin(kStruct, {kString, kLong});
    const TypeRef timestamps = Builtin(kSequence, {}, timestamp);
    const TypeRef message = MessageType();
    // originator_certificate, originator, physical_destination, timestamps, message_id, client_info
    return Builtin(kStruct, {kString, kString, strings, timestamps, kLong, message});
  }

  // --- bytes ---

  [[noreturn]] static void Refuse(std::size_t at, const std::string& what)
  {
    throw Refusal{"at byte " + std::to_string(at) + ": " + what};
  }

  std::size_t Left() const { return m_end - m_pos; }

  void Need(std::size_t n, const char* what)
  {
    if (n > Left())
      Refuse(m_pos, std::string(what) + " runs past the end");
  }

  // Alignment counts from the start of the innermost encapsulation.
  void Align(std::size_t n)
  {
    const std::size_t misaligned = (m_pos - m_base) % n;
    if (misaligned != 0) {
      Need(n - misaligned, "padding");
      m_pos += n - misaligned;
    }
  }

  std::uint64_t Number(std::size_t size, const char* what)
  {
    Align(size);
    Need(size, what);
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) {
      const std::size_t byte = m_little ? size - 1 - i : i;
      value = (value << 8) | m_data[m_pos + byte];
    }
    m_pos += size;
    return value;
  }

  std::uint32_t ULong(const char* what) { return static_cast<std::uint32_t>(Number(4, what)); }

  std::uint8_t Octet(const char* what)
  {
    Need(1, what);
    return m_data[m_pos++];
  }

  void ByteOrder()
  {
    const std::size_t at = m_pos;
    const std::uint8_t order = Octet("byte order");
    if (order > 1)
      Refuse(at, "byte order octet " + std::to_string(order));
    m_little = order == 1;
  }

  void String(const char* what)
  {
    const std::size_t at = m_pos;
    const std::uint32_t length = ULong(what);
    if (length == 0)
      Refuse(at, std::string(what) + " of length 0 (no room for its NUL)");
    Need(length, what);
    if (m_data[m_pos + length - 1] != 0)
      Refuse(at, std::string(what) + " without its terminating NUL");
    m_pos += length;
  }

  // GIOP 1.2 wide text: an octet count, UTF-16 code units.
  void WideBytes(std::size_t at, std::uint32_t length, bool allowEmpty, const char* what)
  {
    if (length % 2 != 0 || (length == 0 && !allowEmpty))
      Refuse(at, std::string(what) + " of " + std::to_string(length) + " octets");
    Need(length, what);
    m_pos += length;
  }

  // Complex type code parameters are an encapsulation of their own.
  struct Frame
  {
    std::size_t end, base;
    bool little;
  };

  Frame Enter()
  {
    const std::size_t at = m_pos;
    const std::uint32_t length = ULong("encapsulation length");
    if (length == 0)
      Refuse(at, "empty encapsulation");
    if (length > Left())
      Refuse(at, "encapsulation of " + std::to_string(length) + " bytes runs past the end");
    const Frame outer{m_end, m_base, m_little};
    m_base = m_pos;
    m_end = m_pos + length;
    ByteOrder();
    return outer;
  }

  void Leave(const Frame& outer)
  {
    m_pos = m_end;
    m_end = outer.end;
    m_base = outer.base;
    m_little = outer.little;
  }

  // --- work ---

  void Charge(std::uint64_t units)
  {
    if (units > m_limits.work)
      Refuse(m_pos, "more than " + std::to_string(m_limits.work) + " units of work");
    m_work += units << m_anyDepth;
    if (m_work > m_limits.work)
      Refuse(m_pos, "more than " + std::to_string(m_limits.work) + " units of work");
  }

  // --- type codes ---

  const Node* NodeOf(TypeRef type) const { return type < kNodeBase ? nullptr : &m_nodes[type - kNodeBase]; }

  // Aliases give way to the type they name; chains are no longer than the nesting limit.
  TypeRef Resolve(TypeRef type) const
  {
    for (const Node* node = NodeOf(type); node && node->kind == kAlias; node = NodeOf(type))
      type = node->content;
    return type;
  }

  // A type code that starts a scope of indirections: an any's or a TypeCode value.
  TypeRef TopLevelTypeCode()
  {
    const std::size_t outerScope = m_scopeBegin;
    m_scopeBegin = m_nodes.size();
    const TypeRef type = TypeCode(1);
    const Node* node = NodeOf(type);
    Charge(node ? node->expanded : 1);
    m_scopeBegin = outerScope;
    return type;
  }

  TypeRef TypeCode(unsigned depth)
  {
    Align(4);
    const std::size_t start = m_pos;
    const std::uint32_t kind = ULong("type code kind");
    switch (kind) {
    case kNull:
    case kVoid:
    case kShort:
    case kLong:
    case kUShort:
    case kULong:
    case kFloat:
    case kDouble:
    case kBoolean:
    case kChar:
    case kOctet:
    case kAny:
    case kTypeCode:
    case kLongLong:
    case kULongLong:
    case kLongDouble:
    case kWChar:
      return kind;
    case kString:
    case kWString:
      ULong("string bound");
      return kind;
    case kStruct:
    case kExcept:
    case kUnion:
    case kEnum:
    case kSequence:
    case kArray:
    case kAlias:
      return Complex(kind, start, depth);
    case kIndirection:
      return Indirection();
    default:
      Refuse(start, "type code kind " + std::to_string(kind) + " is not accepted");
    }
  }

  TypeRef Complex(std::uint32_t kind, std::size_t start, unsigned depth)
  {
    if (depth > m_limits.nesting)
      Refuse(start, "type codes nested more than " + std::to_string(m_limits.nesting) + " deep");
    const auto index = static_cast<std::uint32_t>(m_nodes.size());
    m_nodes.emplace_back();
    m_nodes[index].kind = kind;
    m_nodes[index].start = start;
    m_open.push_back(index);
    const Frame outer = Enter();
    switch (kind) {
    case kStruct:
    case kExcept:
      StructParameters(index, depth);
      break;
    case kUnion:
      UnionParameters(index, depth);
      break;
    case kEnum: {
      String("repository id");
      String("name");
      const std::size_t at = m_pos;
      const std::uint32_t count = ULong("enum member count");
      if (count > Left() / 5)
        Refuse(at, "enum member count " + std::to_string(count) + " exceeds the bytes left");
      for (std::uint32_t i = 0; i < count; ++i)
        String("enum member name");
      m_nodes[index].count = count;
      break;
    }
    case kSequence:
    case kArray: {
      const TypeRef element = TypeCode(depth + 1);
      const std::size_t at = m_pos;
      const std::uint32_t count = ULong(kind == kArray ? "array length" : "sequence bound");
      if (kind == kArray && count == 0)
        Refuse(at, "array of length 0");
      m_nodes[index].content = element;
      m_nodes[index].count = count;
      break;
    }
    case kAlias: {
      String("repository id");
      String("name");
      const TypeRef content = TypeCode(depth + 1);
      m_nodes[index].content = content;
      break;
    }
    }
    Leave(outer);
    m_open.pop_back();
    Complete(index);
    return kNodeBase + index;
  }

  void StructParameters(std::uint32_t index, unsigned depth)
  {
    String("repository id");
    String("name");
    const std::size_t at = m_pos;
    const std::uint32_t count = ULong("member count");
    // A member is a name (at least 5 bytes) and a type code (at least 4).
    if (count > Left() / 8)
      Refuse(at, "member count " + std::to_string(count) + " exceeds the bytes left");
    for (std::uint32_t i = 0; i < count; ++i) {
      String("member name");
      const TypeRef member = TypeCode(depth + 1);
      m_nodes[index].members.push_back(member);
    }
  }

  void UnionParameters(std::uint32_t index, unsigned depth)
  {
    String("repository id");
    String("name");
    const std::size_t discriminatorAt = m_pos;
    const TypeRef discriminator = TypeCode(depth + 1);
    m_nodes[index].content = discriminator;
    switch (const TypeRef resolved = Resolve(discriminator); resolved < kNodeBase ? resolved : NodeOf(resolved)->kind) {
    case kShort:
    case kLong:
    case kUShort:
    case kULong:
    case kLongLong:
    case kULongLong:
    case kBoolean:
    case kChar:
    case kEnum:
      break;
    default:
      Refuse(discriminatorAt, "union discriminator of a kind other than integer, char, boolean or enum");
    }
    const std::size_t at = m_pos;
    const auto defaultIndex = static_cast<std::int32_t>(ULong("default member index"));
    const std::uint32_t count = ULong("member count");
    // A member is a label (at least 1 byte), a name (at least 5) and a type code (at least 4).
    if (count > Left() / 8)
      Refuse(at, "member count " + std::to_string(count) + " exceeds the bytes left");
    if (defaultIndex < -1 || (defaultIndex >= 0 && static_cast<std::uint32_t>(defaultIndex) >= count))
      Refuse(at, "default member index " + std::to_string(defaultIndex) + " of " + std::to_string(count) + " members");
    m_nodes[index].defaultIndex = defaultIndex;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> labels;
    for (std::uint32_t i = 0; i < count; ++i) {
      if (static_cast<std::int32_t>(i) == defaultIndex)
        Octet("default label");
      else
        labels.emplace_back(Discriminator(discriminator), i);
      String("member name");
      const TypeRef member = TypeCode(depth + 1);
      m_nodes[index].members.push_back(member);
    }
    std::sort(labels.begin(), labels.end());
    const auto twice = std::adjacent_find(labels.begin(), labels.end(),
                                          [](const auto& a, const auto& b) { return a.first == b.first; });
    if (twice != labels.end())
      Refuse(at, "union label used twice");
    m_nodes[index].labels = std::move(labels);
  }

  // Indirections are a long offset from where the offset itself stands.
  TypeRef Indirection()
  {
    const std::size_t at = m_pos;
    const auto offset = static_cast<std::int32_t>(ULong("indirection offset"));
    if (offset >= 0)
      Refuse(at, "indirection offset " + std::to_string(offset) + " does not point backwards");
    const std::int64_t target = static_cast<std::int64_t>(at) + offset;
    // The nodes of the current top-level type code are in the order of their starts.
    const auto first = m_nodes.begin() + static_cast<std::ptrdiff_t>(m_scopeBegin);
    const auto found = std::lower_bound(first, m_nodes.end(), target, [](const Node& node, std::int64_t start) {
      return static_cast<std::int64_t>(node.start) < start;
    });
    if (target < 0 || found == m_nodes.end() || static_cast<std::int64_t>(found->start) != target)
      Refuse(at, "indirection offset " + std::to_string(offset) +
                     " does not point at a complex type code earlier in the same type code");
    const auto index = static_cast<std::uint32_t>(found - m_nodes.begin());
    if (!found->complete) {
      // A recursive type: only structs and unions may refer to themselves, and only through a
      // sequence, which can end the recursion with no element.
      if (found->kind != kStruct && found->kind != kUnion)
        Refuse(at, "recursive indirection to a type code other than a struct or union");
      const auto enclosing = std::find(m_open.begin(), m_open.end(), index);
      const bool throughSequence = std::any_of(enclosing, m_open.end(), [&](std::uint32_t open) {
        return m_nodes[open].kind == kSequence;
      });
      if (!throughSequence)
        Refuse(at, "recursive indirection not through a sequence");
    }
    return kNodeBase + index;
  }

  void Complete(std::uint32_t index)
  {
    std::uint32_t height = 0;
    std::uint64_t expanded = 1;
    auto add = [&](TypeRef type) {
      const Node* child = NodeOf(type);
      if (child && child->complete) {
        height = std::max(height, child->height);
        expanded = std::min(kSaturated, expanded + child->expanded);
      } else {  // no parameters, or a recursive reference: a leaf here
        height = std::max<std::uint32_t>(height, 1);
        expanded = std::min(kSaturated, expanded + 1);
      }
    };
    Node& node = m_nodes[index];
    for (const TypeRef member : node.members)
      add(member);
    if (node.kind == kSequence || node.kind == kArray || node.kind == kAlias || node.kind == kUnion)
      add(node.content);
    node.height = height + 1;
    node.expanded = expanded;
    if (node.height > m_limits.nesting)
      Refuse(node.start, "type codes nested more than " + std::to_string(m_limits.nesting) +
                             " deep once indirections are followed");
    node.complete = true;
  }

  // A discriminator or label value, as one number per distinct value.
  std::uint64_t Discriminator(TypeRef type)
  {
    const std::size_t at = m_pos;
    const TypeRef resolved = Resolve(type);
    const Node* node = NodeOf(resolved);
    switch (node ? node->kind : resolved) {
    case kShort:
      return static_cast<std::uint64_t>(static_cast<std::int16_t>(Number(2, "discriminator")));
    case kUShort:
      return Number(2, "discriminator");
    case kLong:
      return static_cast<std::uint64_t>(static_cast<std::int32_t>(Number(4, "discriminator")));
    case kULong:
      return Number(4, "discriminator");
    case kLongLong:
    case kULongLong:
      return Number(8, "discriminator");
    case kChar:
      return Octet("discriminator");
    case kBoolean: {
      const std::uint8_t value = Octet("discriminator");
      if (value > 1)
        Refuse(at, "boolean discriminator " + std::to_string(value));
      return value;
    }
    default: {  // an enum: the union's parameters made sure of that
      const std::uint32_t value = ULong("discriminator");
      if (value >= node->count)
        Refuse(at, "enum discriminator " + std::to_string(value) + " of " + std::to_string(node->count) + " members");
      return value;
    }
    }
  }

  // --- values ---

  // Bytes of a value of a kind that is a plain number, 0 for any other type.
  static std::size_t NumberSize(TypeRef resolved)
  {
    switch (resolved) {
    case kBoolean:
    case kChar:
    case kOctet:
      return 1;
    case kShort:
    case kUShort:
      return 2;
    case kLong:
    case kULong:
    case kFloat:
      return 4;
    case kLongLong:
    case kULongLong:
    case kDouble:
      return 8;
    case kLongDouble:
      return 16;
    default:
      return 0;
    }
  }

  void Value(TypeRef type, unsigned depth)
  {
    if (depth > m_limits.nesting)
      Refuse(m_pos, "values nested more than " + std::to_string(m_limits.nesting) + " deep");
    type = Resolve(type);
    if (type < kNodeBase)
      return SimpleValue(type, depth);
    // m_nodes grows while anys inside are read: no references into it across Value calls.
    const std::uint32_t index = type - kNodeBase;
    switch (m_nodes[index].kind) {
    case kStruct:
    case kExcept:
      Charge(1);
      for (std::size_t i = 0; i < m_nodes[index].members.size(); ++i)
        Value(m_nodes[index].members[i], depth + 1);
      return;
    case kUnion: {
      // The ORB looks the branch up label by label.
      Charge(1 + m_nodes[index].labels.size());
      const std::uint64_t discriminator = Discriminator(m_nodes[index].content);
      const auto& labels = m_nodes[index].labels;
      const auto found = std::lower_bound(labels.begin(), labels.end(), std::make_pair(discriminator, std::uint32_t(0)));
      std::int64_t member = m_nodes[index].defaultIndex;
      if (found != labels.end() && found->first == discriminator)
        member = found->second;
      if (member >= 0)
        Value(m_nodes[index].members[static_cast<std::size_t>(member)], depth + 1);
      return;
    }
    case kEnum: {
      Charge(1);
      const std::size_t at = m_pos;
      const std::uint32_t value = ULong("enum value");
      if (value >= m_nodes[index].count)
        Refuse(at, "enum value " + std::to_string(value) + " of " + std::to_string(m_nodes[index].count) + " members");
      return;
    }
    case kSequence: {
      Charge(1);
      const std::size_t at = m_pos;
      const std::uint32_t length = ULong("sequence length");
      if (m_nodes[index].count != 0 && length > m_nodes[index].count)
        Refuse(at, "sequence of " + std::to_string(length) + " elements, bound " + std::to_string(m_nodes[index].count));
      return Elements(m_nodes[index].content, length, at, depth);
    }
    case kArray:
      Charge(1);
      return Elements(m_nodes[index].content, m_nodes[index].count, m_pos, depth);
    }
  }

  void Elements(TypeRef element, std::uint32_t count, std::size_t at, unsigned depth)
  {
    if (count == 0)
      return;
    const TypeRef resolved = Resolve(element);
    if (const std::size_t size = NumberSize(resolved); size != 0) {
      // A run of numbers: the ORB copies it in one piece.
      Align(std::min<std::size_t>(size, 8));
      if (count > Left() / size)
        Refuse(at, std::to_string(count) + " elements of " + std::to_string(size) + " bytes run past the end");
      const std::size_t bytes = std::size_t(count) * size;
      if (resolved == kBoolean) {
        const auto* bad = std::find_if(m_data + m_pos, m_data + m_pos + bytes, [](std::uint8_t b) { return b > 1; });
        if (bad != m_data + m_pos + bytes)
          Refuse(static_cast<std::size_t>(bad - m_data), "boolean " + std::to_string(*bad));
      }
      m_pos += bytes;
      Charge(1 + bytes / 256);
      return;
    }
    // Every element costs work, so zero-size ones stop at the budget.
    for (std::uint32_t i = 0; i < count; ++i)
      Value(element, depth + 1);
  }

  void SimpleValue(TypeRef kind, unsigned depth)
  {
    const std::size_t at = m_pos;
    switch (kind) {
    case kNull:
    case kVoid:
      Charge(1);
      return;
    case kBoolean: {
      Charge(1);
      const std::uint8_t value = Octet("boolean");
      if (value > 1)
        Refuse(at, "boolean " + std::to_string(value));
      return;
    }
    case kWChar: {
      Charge(1);
      const std::uint8_t length = Octet("wchar length");
      WideBytes(at, length, false, "wchar");
      return;
    }
    case kString:
      Charge(1);
      String("string");
      return;
    case kWString: {
      Charge(1);
      const std::uint32_t length = ULong("wstring length");
      WideBytes(at, length, true, "wstring");
      return;
    }
    case kAny:
      return AnyValue(depth);
    case kTypeCode: {
      const std::size_t mark = m_nodes.size();
      TopLevelTypeCode();
      m_nodes.resize(mark);
      return;
    }
    default: {
      const std::size_t size = NumberSize(kind);
      if (size == 0)
        Refuse(at, "value of type code kind " + std::to_string(kind));
      Charge(1);
      Align(std::min<std::size_t>(size, 8));
      Need(size, "number");
      m_pos += size;
      return;
    }
    }
  }

  void AnyValue(unsigned depth)
  {
    if (m_anyDepth >= m_limits.anys)
      Refuse(m_pos, "anys nested more than " + std::to_string(m_limits.anys) + " deep");
    ++m_anyDepth;
    const std::size_t mark = m_nodes.size();
    const TypeRef type = TopLevelTypeCode();
    Value(type, depth + 1);
    m_nodes.resize(mark);
    --m_anyDepth;
  }

  const std::uint8_t* m_data;
  std::size_t m_pos = 0;
  std::size_t m_end;       // of the innermost encapsulation
  std::size_t m_base = 0;  // start of the innermost encapsulation
  bool m_little = false;
  std::vector<Node> m_nodes;
  std::size_t m_scopeBegin = 0;        // first node of the current top-level type code
  std::vector<std::uint32_t> m_open;   // complex type codes whose parameters are being read
  unsigned m_anyDepth = 0;
  std::uint64_t m_work = 0;
  const PayloadLimits m_limits;
};

bool Check(const std::uint8_t* data, std::size_t size, std::string& why, Checker::Root root)
{
  try {
    Checker(data, size).Run(root);
    why.clear();
    return true;
  } catch (const Refusal& refusal) {
    why = refusal.why;
    return false;
  }
}

std::atomic<unsigned> g_nesting{kMaxPayloadNesting};
std::atomic<unsigned> g_anys{kMaxAnyNesting};
std::atomic<std::uint64_t> g_work{kMaxPayloadWork};

}  // namespace

PayloadLimits CurrentPayloadLimits()
{
  return PayloadLimits{g_nesting.load(), g_anys.load(), g_work.load()};
}

void SetPayloadLimits(const PayloadLimits& limits)
{
  if (limits.nesting < 2 || limits.nesting > 64)
    throw std::invalid_argument("payload nesting " + std::to_string(limits.nesting) + " is not within 2 ... 64");
  if (limits.anys < 1 || limits.anys > 16)
    throw std::invalid_argument("anys inside anys " + std::to_string(limits.anys) + " is not within 1 ... 16");
  if (limits.work < 1000 || limits.work > 100000000)
    throw std::invalid_argument("payload work " + std::to_string(limits.work) + " is not within 1000 ... 100000000");
  g_nesting = limits.nesting;
  g_anys = limits.anys;
  g_work = limits.work;
}

bool CheckMessageEncapsulation(const std::uint8_t* data, std::size_t size, std::string& why)
{
  return Check(data, size, why, Checker::Root::Message);
}

bool CheckEnvelopeEncapsulation(const std::uint8_t* data, std::size_t size, std::string& why)
{
  return Check(data, size, why, Checker::Root::Envelope);
}

bool CheckAnyEncapsulation(const std::uint8_t* data, std::size_t size, std::string& why)
{
  return Check(data, size, why, Checker::Root::Any);
}

}  // namespace messaging
