#include "platform/com/Registrar.h"

#include <cwctype>
#include <memory>
#include <stdexcept>
#include <vector>

#include "platform/registry/Registry.h"
#include "platform/text/Unicode.h"

namespace {

enum class Flag { None, NoRemove, ForceRemove, Delete };

struct Node
{
  Flag flag = Flag::None;
  bool isValue = false;  // "val name = ..."
  std::wstring name;
  bool hasValue = false;
  DWORD type = REG_SZ;
  std::wstring text;
  DWORD number = 0;
  std::vector<Node> children;
};

class Parser
{
public:
  Parser(const std::wstring& s, const std::map<std::wstring, std::wstring>& repl) : m_s(s), m_repl(repl) {}

  std::vector<std::pair<HKEY, std::vector<Node>>> Script()
  {
    std::vector<std::pair<HKEY, std::vector<Node>>> roots;
    for (;;) {
      Skip();
      if (m_i >= m_s.size())
        return roots;
      const std::wstring root = Word();
      HKEY h = nullptr;
      if (root == L"HKCR" || root == L"HKEY_CLASSES_ROOT")
        h = HKEY_CLASSES_ROOT;
      else if (root == L"HKLM" || root == L"HKEY_LOCAL_MACHINE")
        h = HKEY_LOCAL_MACHINE;
      else
        Fail("unknown root key '" + ToUtf8(root) + "'");
      Expect(L'{');
      roots.emplace_back(h, Body());
    }
  }

private:
  [[noreturn]] void Fail(const std::string& what) { throw std::runtime_error(what + " at offset " + std::to_string(m_i)); }

  void Skip()
  {
    while (m_i < m_s.size() && std::iswspace(static_cast<wint_t>(m_s[m_i])))
      ++m_i;
  }

  void Expect(wchar_t c)
  {
    Skip();
    if (m_i >= m_s.size() || m_s[m_i] != c)
      Fail(std::string("expected '") + static_cast<char>(c) + "'");
    ++m_i;
  }

  bool Peek(wchar_t c)
  {
    Skip();
    return m_i < m_s.size() && m_s[m_i] == c;
  }

  std::wstring Replace(const std::wstring& in)
  {
    std::wstring out;
    for (std::size_t i = 0; i < in.size(); ++i) {
      if (in[i] == L'%') {
        const auto end = in.find(L'%', i + 1);
        if (end == std::wstring::npos)
          Fail("unterminated %NAME%");
        if (end == i + 1) {
          out += L'%';  // %% is a literal percent sign
        } else {
          auto it = m_repl.find(in.substr(i + 1, end - i - 1));
          if (it == m_repl.end())
            Fail("no replacement for %" + ToUtf8(in.substr(i + 1, end - i - 1)) + "%");
          out += it->second;
        }
        i = end;
      } else {
        out += in[i];
      }
    }
    return out;
  }

  // A bare word or a quoted text, with replacements applied.
  std::wstring Word()
  {
    Skip();
    if (m_i >= m_s.size())
      Fail("unexpected end of script");
    std::wstring w;
    if (m_s[m_i] == L'\'') {
      ++m_i;
      for (;;) {
        if (m_i >= m_s.size())
          Fail("unterminated quoted text");
        if (m_s[m_i] == L'\'') {
          if (m_i + 1 < m_s.size() && m_s[m_i + 1] == L'\'') {
            w += L'\'';
            m_i += 2;
            continue;
          }
          ++m_i;
          break;
        }
        w += m_s[m_i++];
      }
    } else if (m_s[m_i] == L'{' && m_i + 1 < m_s.size() && std::iswxdigit(static_cast<wint_t>(m_s[m_i + 1]))) {
      // A bare {GUID} key name.
      const auto close = m_s.find(L'}', m_i);
      if (close == std::wstring::npos)
        Fail("unterminated {GUID}");
      w = m_s.substr(m_i, close - m_i + 1);
      m_i = close + 1;
    } else {
      while (m_i < m_s.size() && !std::iswspace(static_cast<wint_t>(m_s[m_i])) && m_s[m_i] != L'{' && m_s[m_i] != L'}' &&
             m_s[m_i] != L'=')
        w += m_s[m_i++];
      if (w.empty())
        Fail("expected a name");
    }
    return Replace(w);
  }

  void Assignment(Node& n)
  {
    Expect(L'=');
    const std::wstring type = Word();
    n.hasValue = true;
    if (type == L"s" || type == L"e") {
      n.type = type == L"s" ? REG_SZ : REG_EXPAND_SZ;
      n.text = Word();
    } else if (type == L"d") {
      const std::wstring v = Word();
      try {
        std::size_t used = 0;
        const unsigned long long d = std::stoull(v, &used, 0);
        if (used != v.size() || d > 0xFFFFFFFFull)
          throw std::out_of_range("dword");
        n.number = static_cast<DWORD>(d);
      } catch (const std::logic_error&) {
        Fail("bad number '" + ToUtf8(v) + "'");
      }
      n.type = REG_DWORD;
    } else {
      Fail("unknown value type '" + ToUtf8(type) + "'");
    }
  }

  std::vector<Node> Body()
  {
    std::vector<Node> nodes;
    for (;;) {
      if (Peek(L'}')) {
        ++m_i;
        return nodes;
      }
      Node n;
      std::wstring w = Word();
      if (w == L"NoRemove" || w == L"ForceRemove" || w == L"Delete") {
        n.flag = w == L"NoRemove" ? Flag::NoRemove : w == L"ForceRemove" ? Flag::ForceRemove : Flag::Delete;
        w = Word();
      } else if (w == L"val") {
        n.isValue = true;
        w = Word();
      }
      n.name = w;
      if (Peek(L'='))
        Assignment(n);
      if (n.isValue && !n.hasValue)
        Fail("val without a value");
      if (!n.isValue && Peek(L'{')) {
        ++m_i;
        n.children = Body();
      }
      nodes.push_back(std::move(n));
    }
  }

  const std::wstring& m_s;
  const std::map<std::wstring, std::wstring>& m_repl;
  std::size_t m_i = 0;
};

LONG SetValue(CRegKey& key, const Node& n, const wchar_t* name)
{
  if (n.type == REG_DWORD)
    return key.SetDWORDValue(name, n.number);
  return key.SetStringValue(name, n.text, n.type);
}

LONG Register(HKEY parent, const std::vector<Node>& nodes)
{
  for (const Node& n : nodes) {
    if (n.isValue) {
      CRegKey k;
      LONG r = k.Open(parent, nullptr, KEY_READ | KEY_WRITE);
      if (r == ERROR_SUCCESS)
        r = SetValue(k, n, n.name.c_str());
      if (r != ERROR_SUCCESS)
        return r;
      continue;
    }
    if (n.flag == Flag::Delete || n.flag == Flag::ForceRemove) {
      const LONG r = RegDeleteTree(parent, n.name.c_str());
      if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND)
        return r;
      if (n.flag == Flag::Delete)
        continue;
    }
    CRegKey k;
    LONG r = k.Create(parent, n.name.c_str());
    if (r == ERROR_SUCCESS && n.hasValue)
      r = SetValue(k, n, nullptr);
    if (r == ERROR_SUCCESS)
      r = Register(k, n.children);
    if (r != ERROR_SUCCESS)
      return r;
  }
  return ERROR_SUCCESS;
}

LONG Unregister(HKEY parent, const std::vector<Node>& nodes)
{
  for (const Node& n : nodes) {
    if (n.isValue) {
      const LONG r = RegDeleteValue(parent, n.name.c_str());
      if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND)
        return r;
      continue;
    }
    if (n.flag == Flag::Delete)
      continue;
    if (n.flag == Flag::ForceRemove) {
      const LONG r = RegDeleteTree(parent, n.name.c_str());
      if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND)
        return r;
      continue;
    }
    CRegKey k;
    LONG r = k.Open(parent, n.name.c_str(), KEY_READ | KEY_WRITE);
    if (r == ERROR_FILE_NOT_FOUND)
      continue;
    if (r == ERROR_SUCCESS)
      r = Unregister(k, n.children);
    if (r != ERROR_SUCCESS)
      return r;
    if (n.flag == Flag::NoRemove)
      continue;
    std::wstring sub;
    if (k.EnumKey(0, sub) == ERROR_NO_MORE_ITEMS) {
      k.Close();
      r = RegDeleteTree(parent, n.name.c_str());
      if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND)
        return r;
    }
  }
  return ERROR_SUCCESS;
}

}  // namespace

HRESULT UpdateRegistryFromScript(const std::wstring& script, bool doRegister,
                                 const std::map<std::wstring, std::wstring>& replacements, std::string* error)
{
  std::vector<std::pair<HKEY, std::vector<Node>>> roots;
  try {
    roots = Parser(script, replacements).Script();
  } catch (const std::exception& e) {
    if (error)
      *error = e.what();
    return E_FAIL;
  }
  for (const auto& [root, nodes] : roots) {
    const LONG r = doRegister ? Register(root, nodes) : Unregister(root, nodes);
    if (r != ERROR_SUCCESS) {
      if (error)
        *error = "registry call failed with " + std::to_string(r);
      return HRESULT_FROM_WIN32(r);
    }
  }
  return S_OK;
}
