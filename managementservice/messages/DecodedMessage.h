#pragma once
// The base of every work item on the processing queue: inbound messages and outbound letters.
#include "platform/com/WinTypes.h"

class DecodedMessage
{
public:
  virtual ~DecodedMessage() = default;
  // Does the work; the result is an HRESULT.
  virtual HRESULT Process() = 0;
};

// The base of the outbound letters: the computer a letter is for.
class Computer_Action : public DecodedMessage
{
public:
  long ComputerId() const { return m_computerId; }

protected:
  explicit Computer_Action(long computerId) : m_computerId(computerId) {}
  long m_computerId;
};
