#pragma once
// Constants of the data-access layer: the enumerations its objects take and report, and the
// HRESULTs its calls fail with, with the values the data-access interfaces give them.
#include "platform/com/WinTypes.h"

namespace ado {

enum ObjectStateEnum : long { adStateClosed = 0, adStateOpen = 1 };
enum CursorLocationEnum : long { adUseServer = 2, adUseClient = 3 };
enum CursorTypeEnum : long { adOpenForwardOnly = 0, adOpenKeyset = 1, adOpenDynamic = 2, adOpenStatic = 3 };
enum LockTypeEnum : long { adLockReadOnly = 1, adLockPessimistic = 2, adLockOptimistic = 3 };
enum CommandTypeEnum : long { adCmdUnspecified = -1, adCmdText = 1, adCmdStoredProc = 4 };
constexpr long adOptionUnspecified = -1;
constexpr long adExecuteNoRecords = 0x80;
constexpr long adGetRowsRest = -1;

enum ParameterDirectionEnum : long {
  adParamUnknown = 0,
  adParamInput = 1,
  adParamOutput = 2,
  adParamInputOutput = 3,
  adParamReturnValue = 4,
};

enum DataTypeEnum : long {
  adEmpty = 0,
  adSmallInt = 2,
  adInteger = 3,
  adSingle = 4,
  adDouble = 5,
  adBoolean = 11,
  adBigInt = 20,
  adUnsignedInt = 19,
  adGUID = 72,
  adWChar = 130,
  adNumeric = 131,
  adDBDate = 133,
  adDBTimeStamp = 135,
  adVarWChar = 202,
  adLongVarWChar = 203,
  adVarBinary = 204,
};

// Size reported for text without a declared length.
constexpr long kUnlimitedTextSize = 1073741823;

// Failures of the provider (server and network).
constexpr HRESULT DB_E_ERRORSINCOMMAND = MakeHr(0x80040E14);
constexpr HRESULT DB_E_CANTCONVERTVALUE = MakeHr(0x80040E07);
constexpr HRESULT DB_E_INTEGRITYVIOLATION = MakeHr(0x80040E2F);
constexpr HRESULT DB_E_ABORTLIMITREACHED = MakeHr(0x80040E31);
constexpr HRESULT DB_E_NOTABLE = MakeHr(0x80040E37);
constexpr HRESULT DB_E_PARAMNOTOPTIONAL = MakeHr(0x80040E10);
constexpr HRESULT DB_SEC_E_AUTH_FAILED = MakeHr(0x80040E4D);
// Failures of the object model itself.
constexpr HRESULT adErrItemNotFound = MakeHr(0x800A0CC1);
constexpr HRESULT adErrNoCurrentRecord = MakeHr(0x800A0BCD);
constexpr HRESULT adErrObjectClosed = MakeHr(0x800A0E78);
constexpr HRESULT adErrInvalidConnection = MakeHr(0x800A0E7D);
constexpr HRESULT adErrProviderNotFound = MakeHr(0x800A0E7A);
constexpr HRESULT adErrInvalidArgument = MakeHr(0x800A0BB9);
constexpr HRESULT adErrFeatureNotAvailable = MakeHr(0x800A0CB3);

}  // namespace ado
