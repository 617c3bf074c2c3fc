#pragma once
// COurCommand: a prepared stored-procedure command on the connection, its parameters set and
// read by name ("@ComputerID"), its return value "@RETURN_VALUE". Copies share one command and
// one parameter collection: setting parameters, executing and reading the outputs of one
// procedure is a unit that must not interleave with another thread's use of the same command.
#include <string>

#include "businesslogic/StdBSTR.h"
#include "platform/ado/Ado.h"
#include "platform/com/Bstr.h"
#include "platform/com/WinTypes.h"

class COurCommand
{
public:
  // Prepares dbo.<procedureName> on the open connection and reads its parameter list from the
  // server; a failure to read it throws vrn::Exceptions::ConnectToDatabaseFailed, a failure of
  // the steps before WinRuntimeError.
  COurCommand(const ado::ConnectionPtr& connection, const char* procedureName);
  COurCommand(const COurCommand&) = default;
  COurCommand& operator=(const COurCommand&) = default;
  ~COurCommand();

  // Setters: an unknown name or a value the parameter cannot take throws WinRuntimeError.
  void SetAttribute(const wchar_t* name, LONG value);
  void SetAttribute(const wchar_t* name, DATE value);
  void SetAttribute(const wchar_t* name, ULONG value);
  // A text longer than the parameter's declared size: without an indicator throws
  // std::runtime_error "COurCommand::SetAttribute Attribute too long"; with one, sets it to true
  // and leaves the parameter's value unchanged.
  void SetAttribute(const wchar_t* name, const std::wstring& value, bool* tooLong = nullptr);
  void SetAttribute(const wchar_t* name, BSTR value);
  void SetAttributeNull(const wchar_t* name);

  // Runs the procedure without reading rows and returns "@RETURN_VALUE"; a delivered return
  // value is returned even when the execution failed afterwards.
  LONG ExecuteCommand();
  // Runs the procedure and returns its row set (closed when it returned none); read the return
  // value afterwards with GetReturnValue.
  ado::RecordsetPtr ExecuteCommandWithRecordset();
  // "@RETURN_VALUE"; WinRuntimeError E_UNEXPECTED when it holds none.
  LONG GetReturnValue() const;

  bool IsAttributeNull(const wchar_t* name) const;
  // Readers converting any convertible value; NULL gives 0, 0.0 or empty text.
  void GetAttribute(const wchar_t* name, LONG& value) const;
  void GetAttribute(const wchar_t* name, DATE& value) const;
  void GetAttribute(const wchar_t* name, util::stdBSTR& value) const;
  void GetAttribute(const wchar_t* name, std::wstring& value) const;
  // Readers accepting only NULL and their own type; another type is an assertion failure
  // (std::logic_error).
  bool GetAttributeAsBool(const wchar_t* name) const;
  LONG GetAttributeAsInt(const wchar_t* name) const;
  DATE GetAttributeAsDate(const wchar_t* name) const;
  bool GetAttributeAsDate(const wchar_t* name, DATE& value) const;
  std::wstring GetAttributeAsString(const wchar_t* name) const;
  // VT_UI4, or VT_DECIMAL whose mantissa's low 32 bits are taken.
  ULONG GetAttributeAsULong(const wchar_t* name) const;

  // The shared command, for row sets opened on it.
  const ado::CommandPtr& Command() const { return m_command; }

private:
  ado::Parameter& Param(const wchar_t* name) const;
  const _variant_t& Value(const wchar_t* name) const { return Param(name).Value(); }
  void Assign(const wchar_t* name, const VARIANT& value);
  void SetText(const wchar_t* name, const wchar_t* text, std::size_t length, bool* tooLong);

  ado::CommandPtr m_command;
  ado::ParametersPtr m_parameters;
};
