#include "platform/ado/ErrorInfo.h"

#include "platform/text/Unicode.h"

namespace ado {
namespace {
thread_local std::wstring t_description;
thread_local HRESULT t_hr = S_OK;
}  // namespace

HRESULT Fail(HRESULT hr, const std::wstring& description)
{
  t_hr = hr;
  t_description = description;
  return hr;
}

HRESULT Fail(HRESULT hr, const std::string& utf8Description) { return Fail(hr, FromUtf8(utf8Description)); }

std::wstring ErrorDescription() { return t_description; }
HRESULT ErrorCode() { return t_hr; }

}  // namespace ado
