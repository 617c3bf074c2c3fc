#pragma once
// Actions are visitors over the managed entities: each entity and list accepts an action through
// Apply and hands itself to exactly one of the action's operations. The base operations do
// nothing, so an action overrides only what it works on.
class CComputer;
class CComputerList;
class CAlert;
class CAlertList;
class CGroup;
class CGroupList;
class CFilter;

namespace Actions {

class CActionBase
{
public:
  virtual ~CActionBase() = default;
  virtual void ApplyToComputerList(CComputerList& list);
  virtual void ApplyToAlertList(CAlertList& list);
  virtual void ApplyToComputer(CComputer& computer);
  virtual void ApplyToAlert(CAlert& alert);
  virtual void ApplyToFilter(CFilter& filter);
  virtual void ApplyToGroupList(CGroupList& list);
  virtual void ApplyToGroup(CGroup& group);
};

// What every entity, list and filter is: something an action can be applied to.
class CActionableBase
{
public:
  virtual ~CActionableBase() = default;
  virtual void Apply(CActionBase& action) = 0;

protected:
  CActionableBase() = default;
  CActionableBase(const CActionableBase&) = default;
  CActionableBase& operator=(const CActionableBase&) = default;
};

}  // namespace Actions
