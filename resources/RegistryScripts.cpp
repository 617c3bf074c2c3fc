#include "resources/RegistryScripts.h"

namespace {

// One class: versioned and version-independent ProgIDs, and the class key under CLSID.
std::wstring ClassScript(const std::wstring& description, const std::wstring& progId, const std::wstring& clsid,
                         bool programmable)
{
  const std::wstring versioned = progId + L".1";
  std::wstring s = L"HKCR\n{\n";
  s += L"\t" + versioned + L" = s '" + description + L"'\n\t{\n\t\tCLSID = s '" + clsid + L"'\n\t}\n";
  s += L"\t" + progId + L" = s '" + description + L"'\n\t{\n\t\tCLSID = s '" + clsid + L"'\n\t\tCurVer = s '" + versioned +
       L"'\n\t}\n";
  s += L"\tNoRemove CLSID\n\t{\n\t\tForceRemove " + clsid + L" = s '" + description + L"'\n\t\t{\n";
  s += L"\t\t\tProgID = s '" + versioned + L"'\n";
  s += L"\t\t\tVersionIndependentProgID = s '" + progId + L"'\n";
  if (programmable)
    s += L"\t\t\tForceRemove 'Programmable'\n";
  s += L"\t\t\tLocalServer32 = s '%MODULE%'\n";
  s += L"\t\t\tval AppID = s '%APPID%'\n";
  s += L"\t\t\t'TypeLib' = s '{233739DD-ECF7-4803-AE70-7647A67B44D3}'\n";
  s += L"\t\t}\n\t}\n}\n";
  return s;
}

}  // namespace

std::wstring LoadRegistryScript(unsigned id)
{
  switch (id) {
    case IDR_MANAGEMENTSERVICE:
      return L"HKCR\n{\n\tNoRemove AppID\n\t{\n\t\t'%APPID%' = s 'ManagementService'\n"
             L"\t\t'RudaDiz.EXE'\n\t\t{\n\t\t\tval AppID = s '%APPID%'\n\t\t}\n\t}\n}\n";
    case IDR_COMPUTERACTIONS:
      return ClassScript(L"ComputerActions Class", L"ManagementService.ComputerActions",
                         L"{94118687-66D6-464D-8893-94A0851C4C50}", false);
    case IDR_COMPUTERACTIONSKT:
      return ClassScript(L"ComputerActionsKT Class", L"ManagementService.ComputerActionsKT",
                         L"{88BF2A27-B563-4780-A82B-0D5BE60BAA5B}", true);
    case IDR_KTCOMPUTERSEARCH:
      return ClassScript(L"KTComputerSearch Class", L"ManagementService.KTComputerSearch",
                         L"{02D2BE0B-53CF-4c57-B6B1-0FCB348C843F}", false);
    case IDR_KTCOMPUTERINSTALL:
      return ClassScript(L"KTComputerInstall Class", L"ManagementService.KTComputerInstall",
                         L"{FD90B831-6406-4DCF-BAB6-E5046C12E6CA}", false);
    case IDR_CLOCKS:
      return ClassScript(L"Clocks Class", L"ManagementService.Clocks", L"{FE990909-05E1-406E-A90F-56DF96696C47}", false);
    default:
      return {};
  }
}
