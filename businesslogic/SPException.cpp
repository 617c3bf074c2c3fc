#include "businesslogic/SPException.h"

#include "businesslogic/TraceComponent.h"
#include "platform/trace/Trace.h"

namespace {

struct CodeName
{
  LONG value;
  const char* name;
};

constexpr CodeName kCodeNames[] = {
  {1, "ErrorInvalidParameter"},  {2, "ErrorSQL"},
  {3, "ErrorXML"},               {4, "ErrorPurgeFailed"},
  {5, "ErrorNoConfig"},          {6, "ErrorNoTransation"},
  {7, "ErrorService"},           {8, "ErrorDUPLICATE"},
  {9, "ErrorCorrupt"},           {10, "ErrorTimeout"},
  {11, "ErrorNoTimeZone"},       {20, "ErrorInUse"},
  {21, "ErrorNoLock"},           {22, "ErrorNotFound"},
  {23, "ErrorInvalidCall"},      {30, "ErrorComputerNotInGroup"},
  {31, "ErrorComputerAlreadyInGroup"}, {32, "ErrorRootGroupNotFound"},
  {33, "ErrorNotImplemented"},   {34, "ErrorDuplicateGroupName"},
  {35, "ErrorUnexpected"},       {36, "ErrorNotSupported"},
  {37, "ErrorMoveIntoDescendant"}, {38, "ErrorNotPermitted"},
  {39, "ErrorComputerNotFound"}, {40, "ErrorGroupNotFound"},
  {41, "ErrorSrcGroupNotFound"}, {42, "ErrorDestGroupNotFound"},
  {43, "ErrorNonLeafGroupDelete"}, {45, "ErrorGroupNameTooLong"},
  {46, "ErrorGroupNameInvalidChars"},
};

const char* Lookup(LONG value)
{
  for (const CodeName& c : kCodeNames)
    if (c.value == value)
      return c.name;
  return nullptr;
}

const char* NameAndTrace(LONG value)
{
  if (const char* name = Lookup(value))
    return name;
  trace::Trace(TRACE_BUSINESSLOGIC, 1, "Invalid return value from SP");
  return "Unknown";
}

}  // namespace

CSPException::CSPException(LONG returnValue) : std::runtime_error(NameAndTrace(returnValue)), m_value(returnValue) {}

const char* CSPException::CodeName(LONG returnValue)
{
  const char* name = Lookup(returnValue);
  return name ? name : "Unknown";
}

void CSPException::Check(LONG returnValue)
{
  if (returnValue != 0)
    throw CSPException(returnValue);
}
