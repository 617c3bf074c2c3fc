#include "businesslogic/entities/Filter.h"

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/ObjectsFromADOFields.h"
#include "businesslogic/OurCommand.h"
#include "businesslogic/SPException.h"
#include "businesslogic/entities/Computer.h"

CFilter::CFilter(PTLDB::ComputerListFilter identity, const std::wstring& name, const std::wstring&) : m_identity(identity)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, L"CFilter::CFilter(%i, \"%s\")", identity, name);
}

void CFilter::GetComputerList(LONG orderBy, bool ascending, CComputerList& list)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CFilter::GetComputerList(%i, %i, %i)", m_identity, orderBy,
                              static_cast<int>(ascending));
  m_orderBy = orderBy;
  m_ascending = ascending;
  COurCommand cmd = GetDatabaseConnection().GetComputerList();
  cmd.SetAttribute(L"@Filter", m_identity);
  cmd.SetAttribute(L"@OrderBy", orderBy);
  cmd.SetAttribute(L"@Ascending", LONG(ascending ? 1 : 0));
  PopulateListFromRowsetsFast(cmd, list);
  CSPException::Check(cmd.GetReturnValue());
}

void CFilter::Apply(Actions::CActionBase& action)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CFilter::Apply(%i)", m_identity);
  action.ApplyToFilter(*this);
}
