#pragma once
// A group's anti-virus configuration as the database stores it. Its identity is the group's;
// built from a computer it is the configuration of the computer's group. A non-zero return
// value of a procedure throws CSPException.
#include "businesslogic/entities/Computer.h"
#include "businesslogic/entities/DBEntity.h"
#include "platform/com/WinTypes.h"

namespace KTDexHandler {
class KTDexConfiguration;
}

namespace vrn::Entitys {

class CDexConfiguration : public TDBEntity<CDexConfiguration, LONG>
{
public:
  explicit CDexConfiguration(LONG groupID);
  // The computer's group (the unassigned group for a computer of none);
  // vrn::Exceptions::ComputerDoesNotExist when the computer has no row.
  explicit CDexConfiguration(const CComputer& computer);

  // The stored configuration, or the defaults when the group has none.
  void Get(KTDexHandler::KTDexConfiguration& configuration) const;
  void Set(const KTDexHandler::KTDexConfiguration& configuration) const;
};

}  // namespace vrn::Entitys
