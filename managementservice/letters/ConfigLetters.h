#pragma once
// The configuration letters: a group's update configuration (for the computer's platform) or
// anti-virus configuration (in the agent's form), built when the processing thread runs the
// letter and sent as a "Tz-SetConfiguration" to the computer's agent.
#include "businesslogic/entities/Computer.h"
#include "businesslogic/entities/Group.h"
#include "managementservice/messages/DecodedMessage.h"

class SendAUConfig_Now : public Computer_Action
{
public:
  SendAUConfig_Now(long computerId, const CComputer& computer, const CGroup& group);
  const CGroup& Group() const { return m_group; }
  // S_FALSE, and nothing sent, when the group has no configuration for the computer's platform.
  HRESULT Process() override;

private:
  CComputer m_computer;
  CGroup m_group;
};

class SendDexConfig_Now : public Computer_Action
{
public:
  SendDexConfig_Now(long computerId, const CComputer& computer, const CGroup& group);
  const CGroup& Group() const { return m_group; }
  HRESULT Process() override;

private:
  CComputer m_computer;
  CGroup m_group;
};
