#pragma once
// A managed computer as the business layer holds it: its database identity, and the ordered
// lists of computers that procedures return.
#include "businesslogic/entities/DBEntity.h"
#include "platform/com/WinTypes.h"

class CComputer : public TDBEntity<CComputer, LONG>
{
public:
  explicit CComputer(LONG id);
  CComputer(const CComputer& right);
  CComputer& operator=(const CComputer& right);
  ~CComputer() override;
};

class CComputerList : public TList<CComputer>
{
public:
  using TList<CComputer>::TList;
};
