// The configuration road against a real database: the console's request matched against the
// groups, the configuration letters built from a group's documents, the letters a status reply
// queues for a component that has just appeared, and the configuration-matches-group answer.
#include <gtest/gtest.h>

#include "businesslogic/entities/Computer.h"
#include "businesslogic/entities/ComputerDetails.h"
#include "businesslogic/entities/DexConfiguration.h"
#include "businesslogic/entities/Group.h"
#include "dexhandler/DexConfiguration.h"
#include "handlers/AUCoreHandler/AutoUpdateConfiguration.h"
#include "handlers/KTDexHandler/KTDexConfiguration.h"
#include "managementservice/console/ComputerActionsKT.h"
#include "managementservice/letters/ComputerLetters.h"
#include "managementservice/letters/ConfigLetters.h"
#include "managementservice/messages/StatusMessage.h"
#include "tests/managementservice/ServiceDatabase.h"
#include "tests/managementservice/StatusReplies.h"

namespace {

using namespace servicetest;

class ConfigRoad : public ::testing::Test
{
protected:
  ConfigRoad() : m_group(CGroup::Root().CreateChildGroup(L"Sales"))
  {
    StatusMessage::SetAuthoriser([](const CorvexMessaging::Envelope&) { return true; });
    DrainQueue();
  }
  ~ConfigRoad() override
  {
    StatusMessage::SetAuthoriser({});
    DrainQueue();
  }

  // A computer the network browse found, placed in the group; it reports later from `address`.
  CComputer Browsed(const std::wstring& name, bool inGroup = true)
  {
    const CComputer pc = CComputer::CreateComputer(name, L"CORP");
    if (inGroup)
      m_group.AddComputer(pc);
    return pc;
  }
  // What is queued, as "<letter> <computer>" in order.
  std::vector<std::string> Queued()
  {
    std::vector<std::string> names;
    for (const auto& item : DrainQueue()) {
      const auto* letter = dynamic_cast<const Computer_Action*>(item.get());
      const std::string id = letter ? std::to_string(letter->ComputerId()) : "?";
      if (dynamic_cast<const SendAUConfig_Now*>(item.get()))
        names.push_back("au " + id);
      else if (const auto* action = dynamic_cast<const SendDoAction*>(item.get()))
        names.push_back("action " + action->Entity() + " " + id);
      else if (dynamic_cast<const SendDexConfig_Now*>(item.get()))
        names.push_back("dex " + id);
      else
        names.push_back("other");
    }
    return names;
  }
  CorvexMessaging::Envelope FirstReply(const std::string& address, const std::wstring& name)
  {
    AgentDetails agent;
    agent.name = name;
    return StatusReply(address, {{"Agent", Agent(agent)},
                                 {"ALC", StatusAndConfig("", AUSample("AUConfig-Tandem.xml"))},
                                 {"DEX", StatusAndConfig(DexSample("status.xml"), DexSample("configuration.xml"))}});
  }

  ServiceDatabase m_service;
  CGroup m_group;
};

}  // namespace

TEST_F(ConfigRoad, TheConsolesRequestIsMatchedAgainstTheGroupsInIdOrder)
{
  const CComputer a = Browsed(L"A"), b = Browsed(L"B");
  const CComputer loose = Browsed(L"LOOSE", false);
  CComPtr<CComputerActionsKT> actions(new CComputerActionsKT);
  LONG ids[] = {b.GetID(), a.GetID(), b.GetID(), loose.GetID() + 1000};
  ASSERT_EQ(actions->SendAUConfig(4, ids), S_OK);
  EXPECT_EQ(Queued(), (std::vector<std::string>{"au " + std::to_string(a.GetID()), "au " + std::to_string(b.GetID())}));

  // A computer of no group is in the unassigned group's list; an unknown ID gets nothing.
  LONG others[] = {loose.GetID(), loose.GetID() + 1000};
  ASSERT_EQ(actions->SendDexConfig(2, others), S_OK);
  EXPECT_EQ(Queued(), (std::vector<std::string>{"dex " + std::to_string(loose.GetID())}));
  EXPECT_EQ(actions->SendDexConfig(0, nullptr), S_OK);
  EXPECT_EQ(actions->SendDexConfig(1, nullptr), E_POINTER);
  EXPECT_TRUE(Queued().empty());
}

TEST_F(ConfigRoad, AConfigurationLetterCarriesTheGroupsDocumentForTheComputer)
{
  TraceLines traces;
  const CComputer pc = Browsed(L"PC7");
  ASSERT_EQ(StatusMessage(StatusReply("PC7", {{"Agent", Agent({})}})).Process(), S_OK);  // WINXP: Tandem
  DrainQueue();

  // No update configuration for the platform: nothing is sent.
  EXPECT_EQ(SendAUConfig_Now(pc.GetID(), pc, m_group).Process(), S_FALSE);
  EXPECT_TRUE(traces.Has("Platform 'Tandem' not configured", 1));
  EXPECT_TRUE(m_service.connection.Sent().empty());

  // Two groups whose documents differ in what a letter carries, so that a letter built from
  // the wrong group shows.
  const CGroup other = CGroup::Root().CreateChildGroup(L"Other");
  AUCoreHandler::AutoUpdateConfiguration au, otherAu;
  au.Set(AUSample("AUConfigurations.xml"));
  otherAu.Set(AUSample("AUConfigurations.xml"));
  otherAu.GetConfig(L"Tandem").GetPrimaryLocation().GetServer().SetAddress(L"\\\\OTHER\\Updates");
  ASSERT_NE(au.ToXML_UTF8(L"Tandem"), otherAu.ToXML_UTF8(L"Tandem"));
  m_group.SetAUConfig(au);
  other.SetAUConfig(otherAu);
  KTDexHandler::KTDexConfiguration salesDex, otherDex;
  KTDexHandler::config_t dex;
  dex.onAccessScan.extensions.userDefined = {L"doc"};
  salesDex.SetConfig(dex);
  m_group.SetDexConfig(salesDex);
  dex.onAccessScan.extensions.userDefined = {L"exe", L"com"};
  dex.onAccessScan.enabled = !dex.onAccessScan.enabled;
  otherDex.SetConfig(dex);
  other.SetDexConfig(otherDex);

  ASSERT_EQ(SendAUConfig_Now(pc.GetID(), pc, m_group).Process(), S_OK);
  ASSERT_EQ(SendDexConfig_Now(pc.GetID(), pc, m_group).Process(), S_OK);
  const auto sent = m_service.connection.Sent();
  ASSERT_EQ(sent.size(), 2u);
  const DEX_PTLMessages::AppConfiguration* configuration = nullptr;
  ASSERT_TRUE(sent[0].custom_data >>= configuration);
  EXPECT_STREQ(sent[0].type.in(), "Tz-SetConfiguration");
  EXPECT_STREQ(sent[0].destination.in(), "PC7.Agent");
  EXPECT_STREQ(configuration->entity.in(), "ALC");
  EXPECT_EQ(std::string(configuration->config.in()), au.ToXML_UTF8(L"Tandem"));
  ASSERT_TRUE(sent[1].custom_data >>= configuration);
  EXPECT_STREQ(configuration->entity.in(), "DEX");
  DexHandler::DexConfiguration groupDex, otherGroupDex, sentDex;
  m_group.GetDexConfig(groupDex);
  other.GetDexConfig(otherGroupDex);
  sentDex.Set(std::string(configuration->config.in()));
  EXPECT_TRUE(groupDex.IsEquivalent(sentDex));
  EXPECT_FALSE(otherGroupDex.IsEquivalent(sentDex));

  // The update letter carries the document of the group it was made for; the anti-virus letter
  // always that of the computer's own group.
  ASSERT_EQ(SendAUConfig_Now(pc.GetID(), pc, other).Process(), S_OK);
  ASSERT_EQ(SendDexConfig_Now(pc.GetID(), pc, other).Process(), S_OK);
  const auto again = m_service.connection.Sent();
  ASSERT_EQ(again.size(), 4u);
  ASSERT_TRUE(again[2].custom_data >>= configuration);
  EXPECT_EQ(std::string(configuration->config.in()), otherAu.ToXML_UTF8(L"Tandem"));
  ASSERT_TRUE(again[3].custom_data >>= configuration);
  DexHandler::DexConfiguration sentAgain;
  sentAgain.Set(std::string(configuration->config.in()));
  EXPECT_TRUE(groupDex.IsEquivalent(sentAgain));
}

TEST_F(ConfigRoad, AComponentThatJustAppearedGetsItsGroupsConfigurationInOrder)
{
  const CComputer pc = Browsed(L"PC7");
  ASSERT_EQ(StatusMessage(FirstReply("PC7", L"PC7")).Process(), S_OK);
  const std::string id = std::to_string(pc.GetID());
  EXPECT_EQ(Queued(), (std::vector<std::string>{"au " + id, "action ALC " + id, "dex " + id}));

  // Reported again: both configurations are stored now, so nothing is sent again.
  ASSERT_EQ(StatusMessage(FirstReply("PC7", L"PC7")).Process(), S_OK);
  EXPECT_TRUE(Queued().empty());

  // A computer in no group gets nothing.
  Browsed(L"PC8", false);
  ASSERT_EQ(StatusMessage(FirstReply("PC8", L"PC8")).Process(), S_OK);
  EXPECT_TRUE(Queued().empty());
}

TEST_F(ConfigRoad, AStoredUpdateConfigurationKeepsTheUpdateLettersBack)
{
  const CComputer pc = Browsed(L"PC9");
  AgentDetails agent;
  agent.name = L"PC9";
  ASSERT_EQ(StatusMessage(StatusReply("PC9", {{"Agent", Agent(agent)}, {"ALC", StatusAndConfig("", AUSample("AUConfig-Tandem.xml"))}}))
              .Process(),
            S_OK);
  DrainQueue();
  // The update configuration reported again, and the anti-virus product for the first time.
  ASSERT_EQ(StatusMessage(FirstReply("PC9", L"PC9")).Process(), S_OK);
  EXPECT_EQ(Queued(), (std::vector<std::string>{"dex " + std::to_string(pc.GetID())}));
}

TEST_F(ConfigRoad, TheNextReplyAfterTheGroupsConfigurationWasAppliedMatchesTheGroup)
{
  const CComputer pc = Browsed(L"PC7");
  // The agent reports the group's own anti-virus configuration, as it would once it applied it.
  KTDexHandler::KTDexConfiguration group;
  vrn::Entitys::CDexConfiguration(pc).Get(group);
  DexHandler::DexConfiguration applied;
  applied.Set(group.ToXML_UTF8());
  ASSERT_EQ(StatusMessage(StatusReply("PC7", {{"Agent", Agent({})}, {"DEX", StatusAndConfig("", applied.ToOpaqueXML(L""))}}))
              .Process(),
            S_OK);
  ComputerDetails d;
  pc.GetComputerDetails(d);
  EXPECT_EQ(d.hasGroupDexConfig, FlagYes);
  EXPECT_EQ(d.hasGroupAUConfig, FlagUnknown);  // the group has no update configuration

  ASSERT_EQ(StatusMessage(StatusReply("PC7", {{"Agent", Agent({})}, {"DEX", StatusAndConfig("", DexSample("configuration.xml"))}}))
              .Process(),
            S_OK);
  pc.GetComputerDetails(d);
  EXPECT_EQ(d.hasGroupDexConfig, FlagNo);
}
