#include "handlers/KTDexHandler/LabelMaps.h"

namespace KTDexHandler {

// Each map is built once, on first use; function-local statics make that safe across threads.

const LabelMap<ScanLevel>& GetScanLevelMap()
{
  static const LabelMap<ScanLevel> map{{L"normal", ScanLevel::normal}, {L"extensive", ScanLevel::extensive}};
  return map;
}

const LabelMap<FileAction>& GetActionMap()
{
  static const LabelMap<FileAction> map{
    {L"doNothing", FileAction::doNothing}, {L"move", FileAction::move}, {L"delete", FileAction::delete_}};
  return map;
}

const LabelMap<Day>& GetDaysMap()
{
  static const LabelMap<Day> map{
    {L"monday", Day::monday}, {L"tuesday", Day::tuesday},   {L"wednesday", Day::wednesday}, {L"thursday", Day::thursday},
    {L"friday", Day::friday}, {L"saturday", Day::saturday}, {L"sunday", Day::sunday},
  };
  return map;
}

const LabelMap<ScanType>& GetScanTypeMap()
{
  static const LabelMap<ScanType> map{
    {L"unknown", ScanType::unknown},     {L"onaccess", ScanType::onaccess}, {L"ondemand", ScanType::ondemand},
    {L"scheduled", ScanType::scheduled}, {L"memory", ScanType::memory},
  };
  return map;
}

const LabelMap<VirusAction>& GetVirusActionMap()
{
  static const LabelMap<VirusAction> map{
    {L"unknown", VirusAction::unknown},
    {L"none", VirusAction::none},
    {L"rename", VirusAction::rename},
    {L"delete", VirusAction::delete_},
    {L"shred", VirusAction::shred},
    {L"move", VirusAction::move},
    {L"copy", VirusAction::copy},
    {L"attachment_deleted", VirusAction::attachment_deleted},
    {L"attachment_quarantined", VirusAction::attachment_quarantined},
    {L"disinfected", VirusAction::disinfected},
    {L"disinfection_failed", VirusAction::disinfection_failed},
    {L"message_deleted", VirusAction::message_deleted},
    {L"message_quarantined", VirusAction::message_quarantined},
    {L"rename_failed", VirusAction::rename_failed},
    {L"delete_failed", VirusAction::delete_failed},
    {L"move_failed", VirusAction::move_failed},
  };
  return map;
}

const LabelMap<VirusType>& GetVirusTypeMap()
{
  static const LabelMap<VirusType> map{
    {L"unknown", VirusType::unknown}, {L"fragment", VirusType::fragment}, {L"identity", VirusType::identity}};
  return map;
}

const LabelMap<Language>& GetLanguageMap()
{
  static const LabelMap<Language> map{
    {L"traditional_chinese", Language::traditional_chinese},
    {L"simplified_chinese", Language::simplified_chinese},
    {L"english", Language::english},
    {L"french", Language::french},
    {L"german", Language::german},
    {L"italian", Language::italian},
    {L"japanese", Language::japanese},
    {L"korean", Language::korean},
    {L"brazilian_portuguese", Language::brazilian_portuguese},
    {L"spanish", Language::spanish},
  };
  return map;
}

}  // namespace KTDexHandler
