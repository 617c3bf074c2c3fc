#pragma once
// A computer acting as library server: the library status it last reported. Its identity is the
// computer's.
#include "businesslogic/entities/Computer.h"
#include "businesslogic/entities/DBEntity.h"
#include "platform/com/WinTypes.h"

namespace TzLibHandler {
class TzLibraryStatusBase;
}

namespace vrn::Entitys {

class CTzLibraryServer : public TDBEntity<CTzLibraryServer, LONG>
{
public:
  explicit CTzLibraryServer(LONG computerID);
  explicit CTzLibraryServer(const CComputer& computer);

  // Validates the status (a location that is not a UNC path throws MEInvalidException and
  // nothing is stored), then stores it and makes the computer a library server. A non-zero
  // return value throws CSPException.
  void SetStatus(const TzLibHandler::TzLibraryStatusBase& status) const;
  // The stored status: vrn::Exceptions::ComputerDoesNotExist for an unknown computer,
  // vrn::Exceptions::TzLibraryServerDoesNotExist for one that is no library server.
  void GetStatus(TzLibHandler::TzLibraryStatusBase& status) const;

  // Every computer that is a library server, in identity order.
  static TList<CTzLibraryServer> GetTzLibraryServers();
  CComputer MakeComputer() const { return CComputer(GetID()); }
};

}  // namespace vrn::Entitys
