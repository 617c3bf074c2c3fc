#include "platform/com/ComError.h"

#include "platform/errortext/ErrorText.h"

_com_error::_com_error(HRESULT hr, std::wstring description, std::wstring source)
  : m_hr(hr), m_description(std::move(description)), m_source(std::move(source)), m_message(ErrorText(hr))
{
}

void _com_issue_error(HRESULT hr) { throw _com_error(hr); }
void _com_issue_errorex(HRESULT hr, const std::wstring& description) { throw _com_error(hr, description); }
