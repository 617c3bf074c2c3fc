#include "businesslogic/ServiceOrLocalClocksBroker.h"

#include <array>

#include "businesslogic/exceptions/DatabaseExceptions.h"
#include "platform/com/Memory.h"
#include "platform/com/Unknown.h"

namespace vrn {
namespace {

class LocalClocks : public CComRefCounted<IVRN_Clocks>
{
public:
  HRESULT QueryInterface(const IID&, void**) override { return E_NOINTERFACE; }
  HRESULT Fetch(ULONG* size, ClockValue** data) override
  {
    *size = static_cast<ULONG>(m_values.size());
    *data = static_cast<ClockValue*>(CoTaskMemAlloc(m_values.size() * sizeof(ClockValue)));
    if (!*data)
      return E_OUTOFMEMORY;
    for (ULONG i = 0; i < m_values.size(); ++i)
      (*data)[i] = {i, m_values[i]};
    return S_OK;
  }
  HRESULT Fetch(VRN_Clock clock) override
  {
    if (clock < 0 || static_cast<std::size_t>(clock) >= m_values.size())
      return E_INVALIDARG;
    ++m_values[clock];
    return S_OK;
  }

private:
  std::array<ULONG, 3> m_values{};
};

}  // namespace

ServerClocks CServiceOrLocalClocksBroker::CreateServerClocks() const
{
  try {
    return vrn::CManagementServiceClientBroker().CreateServerClocks();
  } catch (const vrn::Exceptions::ConnectToServerFailed&) {
    return ServerClocks(new LocalClocks);
  }
}

}  // namespace vrn
