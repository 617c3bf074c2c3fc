#include "businesslogic/entities/Dex.h"

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/OurCommand.h"
#include "businesslogic/SPException.h"
#include "businesslogic/entities/Computer.h"
#include "handlers/KTDexHandler/KTDexStatus.h"

namespace vrn::Entitys {

namespace {

// Every identity file followed by ";" (the column is read back as a list).
std::wstring IdeListText(const std::vector<std::wstring>& ides)
{
  std::wstring text;
  for (const auto& ide : ides)
    text += ide + L";";
  return text;
}

}  // namespace

Dex::Dex(const CComputer& computer) : TDBEntity(computer.GetID())
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "vrn::Entitys::Dex::Dex(%i)", GetID());
}

void Dex::SetStatus(const KTDexHandler::KTDexStatus& status) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void vrn::Entitys::Dex::SetStatus(%i)", GetID());
  const KTDexHandler::KTDexStatusDetails& d = status.GetDetails();
  COurCommand cmd = GetDatabaseConnection().SetDexStatus();
  cmd.SetAttribute(L"@ComputerID", GetID());
  cmd.SetAttribute(L"@DexInstalled", LONG{1});
  cmd.SetAttribute(L"@OnAccessFlag", LONG{d.onAccess ? 1 : 0});
  cmd.SetAttribute(L"@Version", d.productVersion);
  cmd.SetAttribute(L"@QuarantineCount", d.quarantine);
  cmd.SetAttribute(L"@VirusDataVersion", d.virusDataVersion);
  cmd.SetAttribute(L"@VirusEngineVersion", d.virusEngineVersion);
  cmd.SetAttribute(L"@IDEChecksum", d.ideChecksum);
  cmd.SetAttribute(L"@ProductID", d.productId);
  cmd.SetAttribute(L"@IDEList", IdeListText(d.ideList));
  CSPException::Check(cmd.ExecuteCommand());
}

void Dex::SetStatusNotInstalled() const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void vrn::Entitys::Dex::SetStatusNotInstalled(%i)", GetID());
  COurCommand cmd = GetDatabaseConnection().SetDexStatus();
  cmd.SetAttribute(L"@ComputerID", GetID());
  cmd.SetAttribute(L"@DexInstalled", LONG{0});
  cmd.SetAttributeNull(L"@OnAccessFlag");
  cmd.SetAttribute(L"@QuarantineCount", LONG{0});
  for (const wchar_t* text : {L"@Version", L"@VirusDataVersion", L"@VirusEngineVersion", L"@IDEChecksum", L"@ProductID", L"@IDEList"})
    cmd.SetAttribute(text, std::wstring());
  CSPException::Check(cmd.ExecuteCommand());
}

void Dex::SetStatusNotRunning() const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void vrn::Entitys::Dex::SetStatusNotRunning(%i)", GetID());
  COurCommand cmd = GetDatabaseConnection().ComputerSetDexStatusNotRunning();
  cmd.SetAttribute(L"@ComputerID", GetID());
  CSPException::Check(cmd.ExecuteCommand());
}

void Dex::SetConfiguration(const std::wstring& xml) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void vrn::Entitys::Dex::SetConfiguration(%i)", GetID());
  COurCommand cmd = GetDatabaseConnection().UpdateComputerDexConfig();
  cmd.SetAttribute(L"@ComputerID", GetID());
  cmd.SetAttribute(L"@DexConfigXML", xml);
  CSPException::Check(cmd.ExecuteCommand());
  CReportedConfigurationScope::Remember(GetID(), CReportedConfigurationScope::Dex, xml);
}

}  // namespace vrn::Entitys
