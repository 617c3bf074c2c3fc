#pragma once
// Shared references to the DOM objects behind XMLDocument and XMLElement. Copying adds a
// reference; a node keeps the tree it belongs to alive, even after its document was reloaded.
#include <memory>

struct _xmlNode;

namespace HandlerUtils {

class DomDocument;  // the parser's document: its current tree, selection namespaces and parse error
class DomTree;      // one parsed or built tree; owns the libxml2 document

namespace ElementTypes {

using Document = std::shared_ptr<DomDocument>;

class Element
{
public:
  Element() = default;
  Element(std::shared_ptr<DomTree> tree, _xmlNode* node) : m_tree(std::move(tree)), m_node(node) {}

  _xmlNode* get() const noexcept { return m_node; }
  const std::shared_ptr<DomTree>& tree() const noexcept { return m_tree; }
  explicit operator bool() const noexcept { return m_node != nullptr; }
  friend bool operator==(const Element& a, const Element& b) noexcept { return a.m_node == b.m_node; }

private:
  std::shared_ptr<DomTree> m_tree;
  _xmlNode* m_node = nullptr;
};

}  // namespace ElementTypes
}  // namespace HandlerUtils
