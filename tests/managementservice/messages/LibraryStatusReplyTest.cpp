// A status reply from a library server: its "TzLib" entry travels from the reply through the
// message sink to the computer's stored library status; a status that fails validation fails
// the reply and stores nothing of it.
#include <gtest/gtest.h>

#include "businesslogic/entities/Computer.h"
#include "businesslogic/entities/TzLibraryServer.h"
#include "businesslogic/exceptions/EntityExceptions.h"
#include "handlers/TzLibHandler/TzLibraryStatus.h"
#include "managementservice/messages/StatusMessage.h"
#include "tests/managementservice/ServiceDatabase.h"
#include "tests/managementservice/StatusReplies.h"

namespace {

using namespace servicetest;
using vrn::Entitys::CTzLibraryServer;

TzLibHandler::TzLibraryStatusImpl LibraryStatus(const std::wstring& path, const std::wstring& version)
{
  TzLibHandler::TzLibraryStatusImpl status;
  status.SetUpdateLocations({{TzLibHandler::DEXKTXP, version, true, path}, {TzLibHandler::DEXKTNT, L"4.10", false, path + L"\\old"}});
  status.SetPackages({{TzLibHandler::DEXKTXP, version, L"3.17.0", L"2024.05.02.001", L"4C1D07A9", 1210}});
  return status;
}

class LibraryStatusReply : public ::testing::Test
{
protected:
  LibraryStatusReply() { StatusMessage::SetAuthoriser([](const CorvexMessaging::Envelope&) { return true; }); }
  ~LibraryStatusReply() override { StatusMessage::SetAuthoriser({}); }

  HRESULT Reply(const std::string& address, const std::string& libraryStatus)
  {
    AgentDetails agent;
    agent.name = L"LIBSRV";
    return StatusMessage(StatusReply(address, {{"Agent", Agent(agent)}, {"TzLib", StatusAndConfig(libraryStatus, "")}})).Process();
  }

  ServiceDatabase m_service;
};

}  // namespace

TEST_F(LibraryStatusReply, TheLibraryStatusOfAReplyIsStoredForItsComputer)
{
  const TzLibHandler::TzLibraryStatusImpl first = LibraryStatus(L"\\\\LIBSRV\\TzLib\\DEXKTXP", L"4.87");
  ASSERT_EQ(Reply("LIBSRV", first.ToXML_UTF8()), S_OK);
  const CComputer pc = CComputer::GetFromMessageSystemAddress("LIBSRV");
  TzLibHandler::TzLibraryStatusImpl read;
  CTzLibraryServer(pc.GetID()).GetStatus(read);
  EXPECT_TRUE(read == first);
  const auto servers = CTzLibraryServer::GetTzLibraryServers();
  ASSERT_EQ(servers.size(), 1u);
  EXPECT_EQ(servers.front().MakeComputer().GetID(), pc.GetID());

  // A newer status replaces the stored one.
  const TzLibHandler::TzLibraryStatusImpl second = LibraryStatus(L"\\\\LIBSRV\\TzLib\\DEXKTXP", L"4.88");
  ASSERT_EQ(Reply("LIBSRV", second.ToXML_UTF8()), S_OK);
  CTzLibraryServer(pc.GetID()).GetStatus(read);
  EXPECT_TRUE(read == second);
  EXPECT_FALSE(read == first);

  // A location that is not a UNC path fails the reply; the stored status stays as it was.
  EXPECT_EQ(Reply("LIBSRV", LibraryStatus(L"http://libsrv/dex", L"4.89").ToXML_UTF8()), E_FAIL);
  CTzLibraryServer(pc.GetID()).GetStatus(read);
  EXPECT_TRUE(read == second);
}

TEST_F(LibraryStatusReply, AComputerThatNeverReportedALibraryIsNoLibraryServer)
{
  AgentDetails agent;
  agent.name = L"PLAIN";
  ASSERT_EQ(StatusMessage(StatusReply("PLAIN", {{"Agent", Agent(agent)}})).Process(), S_OK);
  const CComputer pc = CComputer::GetFromMessageSystemAddress("PLAIN");
  TzLibHandler::TzLibraryStatusImpl read;
  EXPECT_THROW(CTzLibraryServer(pc.GetID()).GetStatus(read), vrn::Exceptions::TzLibraryServerDoesNotExist);
  EXPECT_TRUE(CTzLibraryServer::GetTzLibraryServers().empty());
}
