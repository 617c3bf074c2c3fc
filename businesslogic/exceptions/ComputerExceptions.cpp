#include "businesslogic/exceptions/ComputerExceptions.h"

#include "businesslogic/entities/MessageSystemAddress.h"

namespace vrn::Exceptions {

ComputerDoesNotExist::ComputerDoesNotExist(const std::wstring& message)
  : BusinessExceptionBase(message, L"ComputerDoesNotExist")
{
}

ComputerDoesNotExist::ComputerDoesNotExist(const std::wstring& message, const CComputer& computer)
  : BusinessExceptionBase(message, L"ComputerDoesNotExist"), m_computer(computer)
{
}

ComputerNotManaged::ComputerNotManaged(const CComputer& computer)
  : BusinessExceptionBase(L"The computer is not managed", L"ComputerNotManaged"), m_computer(computer)
{
}

ComputerAlreadyInAnotherGroup::ComputerAlreadyInAnotherGroup(const std::wstring& computerName)
  : BusinessExceptionBase(L"The computer is already member of another group", L"ComputerAlreadyInAnotherGroup"),
    m_name(computerName)
{
}

InvalidMessageSystemAddress::InvalidMessageSystemAddress(const std::string& address)
  : BusinessExceptionBase(L"The address specified is too long it must be less than 255 chars address :" + WidenAddress(address),
                          L"InvalidMessageSystemAddress"),
    m_address(address)
{
}

UnknownMessageSystemAddress::UnknownMessageSystemAddress(const std::string& address)
  : BusinessExceptionBase(L"The computer is not managed address :" + WidenAddress(address), L"UnknownMessageSystemAddress"),
    m_address(address)
{
}

}  // namespace vrn::Exceptions
