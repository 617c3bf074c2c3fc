#pragma once
// The anti-virus enumerations and their label maps. The numbers are those the database stores.
// Writing uses the first label (in label order) with the value; reading looks the lower-cased
// text up, so a label with capitals (doNothing) is written but never matched on reading.
#include <map>
#include <string>

#include "platform/com/WinTypes.h"

namespace KTDexHandler {

enum class ScanLevel : LONG { normal = 0, extensive = 1 };
enum class FileAction : LONG { doNothing = 0, move = 1, delete_ = 2 };
enum class Day : LONG { monday = 0, tuesday = 1, wednesday = 2, thursday = 3, friday = 4, saturday = 5, sunday = 6 };
enum class ScanType : LONG { unknown = 200, onaccess = 201, ondemand = 203, scheduled = 205, memory = 206 };
enum class VirusAction : LONG {
  unknown = 100,
  none = 101,
  rename = 102,
  delete_ = 103,
  shred = 104,
  move = 105,
  copy = 106,
  attachment_deleted = 107,
  attachment_quarantined = 108,
  disinfected = 109,
  disinfection_failed = 110,
  message_deleted = 111,
  message_quarantined = 112,
  rename_failed = 113,
  delete_failed = 114,
  move_failed = 115,
};
enum class VirusType : LONG { unknown = 300, fragment = 301, identity = 302 };
enum class Language : LONG {
  traditional_chinese = 0,
  simplified_chinese = 1,
  english = 2,
  french = 3,
  german = 4,
  italian = 5,
  japanese = 6,
  korean = 7,
  brazilian_portuguese = 8,
  spanish = 9,
};

template <class T>
using LabelMap = std::map<std::wstring, T>;

const LabelMap<ScanLevel>& GetScanLevelMap();
const LabelMap<FileAction>& GetActionMap();
const LabelMap<Day>& GetDaysMap();
const LabelMap<ScanType>& GetScanTypeMap();
const LabelMap<VirusAction>& GetVirusActionMap();
const LabelMap<VirusType>& GetVirusTypeMap();
const LabelMap<Language>& GetLanguageMap();

}  // namespace KTDexHandler
