#include "handlers/HandlerUtils/StreamAdapters.h"

#include <cstring>
#include <exception>
#include <typeinfo>

#include "handlers/HandlerUtils/TraceComponent.h"
#include "platform/trace/Trace.h"

namespace util {

namespace {

constexpr IID kIidUnknown = MakeGuid("{00000000-0000-0000-C000-000000000046}");

// The result of an exception that escaped a stream operation, logged with its type and text.
HRESULT Caught(const char* unknownText)
{
  try {
    throw;
  } catch (const std::exception& e) {
    trace::Trace(TRACE_HANDLERUTILS, 0, L"WriteStream_To_ostringstream::FlushStream caught %S: %S", typeid(e).name(), e.what());
  } catch (...) {
    trace::Trace(TRACE_HANDLERUTILS, 0, "%s", unknownText);
  }
  return E_UNEXPECTED;
}

}  // namespace

HRESULT StreamBase::QueryInterface(const IID& iid, void** out)
{
  if (!out)
    return E_POINTER;
  if (iid == kIidUnknown || iid == IID_ISequentialStream || iid == IID_IStream) {
    *out = static_cast<IStream*>(this);
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

HRESULT StreamBase::Read(void*, ULONG, ULONG*) { return E_NOTIMPL; }
HRESULT StreamBase::Write(const void*, ULONG, ULONG*) { return E_NOTIMPL; }
HRESULT StreamBase::Seek(LONGLONG, DWORD, ULONGLONG*) { return E_NOTIMPL; }
HRESULT StreamBase::SetSize(ULONGLONG) { return E_NOTIMPL; }
HRESULT StreamBase::CopyTo(IStream*, ULONGLONG, ULONGLONG*, ULONGLONG*) { return E_NOTIMPL; }
HRESULT StreamBase::Commit(DWORD) { return E_NOTIMPL; }
HRESULT StreamBase::Revert() { return E_NOTIMPL; }
HRESULT StreamBase::LockRegion(ULONGLONG, ULONGLONG, DWORD) { return E_NOTIMPL; }
HRESULT StreamBase::UnlockRegion(ULONGLONG, ULONGLONG, DWORD) { return E_NOTIMPL; }
HRESULT StreamBase::Stat(STATSTG*, DWORD) { return E_NOTIMPL; }
HRESULT StreamBase::Clone(IStream**) { return E_NOTIMPL; }

HRESULT istringstream_To_IStream::Read(void* buffer, ULONG count, ULONG* read)
{
  if (!buffer || !read)
    return E_INVALIDARG;
  try {
    const std::size_t n = std::min<std::size_t>(count, m_bytes.size() - m_pos);
    std::memcpy(buffer, m_bytes.data() + m_pos, n);
    m_pos += n;
    *read = static_cast<ULONG>(n);
    return S_OK;
  } catch (...) {
    return Caught("WriteStream_To_ostringstream::FlushStream caught ...");
  }
}

HRESULT WriteStream_To_ostringstream::WriteStream(const void* data, ULONG size, ULONG* written)
{
  try {
    if (size && !data)
      return E_INVALIDARG;
    m_bytes.append(static_cast<const char*>(data), size);
    if (written)
      *written = size;
    return S_OK;
  } catch (...) {
    return Caught("WriteStream_To_ostringstream::WriteStream caught ...");
  }
}

// The bytes are in memory as soon as they are written: there is nothing to flush.
HRESULT WriteStream_To_ostringstream::FlushStream() { return S_OK; }

HRESULT ostringstream_To_IStream::Write(const void* data, ULONG count, ULONG* written)
{
  ULONG done = 0;
  const HRESULT hr = m_sink.WriteStream(data, count, &done);
  if (written)
    *written = SUCCEEDED(hr) ? done : 0;
  return FAILED(hr) ? STG_E_CANTSAVE : S_OK;
}

}  // namespace util
