#include "businesslogic/entities/TzLibraryServer.h"

#include <string>
#include <vector>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/ObjectsFromADOFields.h"
#include "businesslogic/OurCommand.h"
#include "businesslogic/SPException.h"
#include "businesslogic/exceptions/ComputerExceptions.h"
#include "businesslogic/exceptions/EntityExceptions.h"
#include "handlers/TzLibHandler/TzLibraryStatus.h"

namespace vrn::Entitys {

namespace {

constexpr LONG kComputerNotFound = 39;     // ErrorComputerNotFound
constexpr LONG kNotALibraryServer = 49;
constexpr LONG kLibraryServersFilter = 13;  // GetComputerList: library servers
constexpr LONG kOrderById = 0;

}  // namespace

CTzLibraryServer::CTzLibraryServer(LONG computerID) : TDBEntity(computerID)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "vrn::Entitys::CTzLibraryServer::CTzLibraryServer(%i)", computerID);
}

CTzLibraryServer::CTzLibraryServer(const CComputer& computer) : CTzLibraryServer(computer.GetID()) {}

void CTzLibraryServer::SetStatus(const TzLibHandler::TzLibraryStatusBase& status) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void vrn::Entitys::CTzLibraryServer::SetStatus(%i)", GetID());
  status.Validate();
  COurCommand cmd = GetDatabaseConnection().SetTzLibraryStatus();
  cmd.SetAttribute(L"@ComputerID", GetID());
  cmd.SetAttribute(L"@TzLibraryStatusXML", status.ToXML());
  CSPException::Check(cmd.ExecuteCommand());
}

void CTzLibraryServer::GetStatus(TzLibHandler::TzLibraryStatusBase& status) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void vrn::Entitys::CTzLibraryServer::GetStatus(%i)", GetID());
  try {
    COurCommand cmd = GetDatabaseConnection().GetTzLibraryStatus();
    cmd.SetAttribute(L"@ComputerID", GetID());
    std::vector<std::wstring> rows;
    PopulateListFromRowsets<std::vector<std::wstring>, CTzLibraryStatusXMLFromADOFields>(cmd, rows);
    CSPException::Check(cmd.GetReturnValue());
    status.Set(rows.empty() ? std::wstring() : rows.front());
  } catch (const CSPException& e) {
    if (e.ReturnValue() == kComputerNotFound)
      throw vrn::Exceptions::ComputerDoesNotExist(L"Computer does not exist", MakeComputer());
    if (e.ReturnValue() == kNotALibraryServer)
      throw vrn::Exceptions::TzLibraryServerDoesNotExist(MakeComputer());
    throw;
  }
}

TList<CTzLibraryServer> CTzLibraryServer::GetTzLibraryServers()
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "static TList<CTzLibraryServer> vrn::Entitys::CTzLibraryServer::GetTzLibraryServers()");
  COurCommand cmd = GetDatabaseConnection().GetComputerList();
  cmd.SetAttribute(L"@Filter", kLibraryServersFilter);
  cmd.SetAttribute(L"@OrderBy", kOrderById);
  cmd.SetAttribute(L"@Ascending", LONG{1});
  TList<CTzLibraryServer> servers;
  PopulateListFromRowsetsFast(cmd, servers);
  CSPException::Check(cmd.GetReturnValue());
  return servers;
}

}  // namespace vrn::Entitys
