#pragma once
// The anti-virus product of one computer as the database records it: its status (installed and
// reporting, not installed, not running) and the configuration it reported. Each operation runs
// one procedure; a non-zero return value throws CSPException.
#include <string>

#include "businesslogic/entities/Computer.h"
#include "businesslogic/entities/DBEntity.h"
#include "platform/com/WinTypes.h"

namespace KTDexHandler {
class KTDexStatus;
}

namespace vrn::Entitys {

class Dex : public TDBEntity<Dex, LONG>
{
public:
  explicit Dex(const CComputer& computer);

  // Installed and reporting, with what the status document says. A text longer than its
  // column throws std::runtime_error before anything is stored.
  void SetStatus(const KTDexHandler::KTDexStatus& status) const;
  // Not installed: every detail cleared.
  void SetStatusNotInstalled() const;
  // Installed but not running: the details stay as they were.
  void SetStatusNotRunning() const;
  // The configuration document the computer reported.
  void SetConfiguration(const std::wstring& xml) const;
};

}  // namespace vrn::Entitys
