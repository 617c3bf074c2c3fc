#pragma once
// Byte-string streams for loading and saving documents: an input stream over a byte string, a
// write-stream sink that accumulates bytes, and a stream that presents the sink for saving.
// The stream objects are owned by their scope: reference counting is not kept.
#include <string>

#include "platform/com/Guid.h"
#include "platform/com/WinTypes.h"

namespace util {

constexpr IID IID_ISequentialStream = MakeGuid("{0C733A30-2A1C-11CE-ADE5-00AA0044773A}");
constexpr IID IID_IStream = MakeGuid("{0000000C-0000-0000-C000-000000000046}");
constexpr HRESULT STG_E_CANTSAVE = MakeHr(0x8003001D);

struct STATSTG
{
  ULONGLONG cbSize = 0;
};

struct ISequentialStream
{
  virtual HRESULT QueryInterface(const IID& iid, void** out) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;
  virtual HRESULT Read(void* buffer, ULONG count, ULONG* read) = 0;
  virtual HRESULT Write(const void* data, ULONG count, ULONG* written) = 0;

protected:
  ~ISequentialStream() = default;
};

struct IStream : ISequentialStream
{
  virtual HRESULT Seek(LONGLONG move, DWORD origin, ULONGLONG* position) = 0;
  virtual HRESULT SetSize(ULONGLONG size) = 0;
  virtual HRESULT CopyTo(IStream* target, ULONGLONG count, ULONGLONG* read, ULONGLONG* written) = 0;
  virtual HRESULT Commit(DWORD flags) = 0;
  virtual HRESULT Revert() = 0;
  virtual HRESULT LockRegion(ULONGLONG offset, ULONGLONG count, DWORD type) = 0;
  virtual HRESULT UnlockRegion(ULONGLONG offset, ULONGLONG count, DWORD type) = 0;
  virtual HRESULT Stat(STATSTG* stat, DWORD flags) = 0;
  virtual HRESULT Clone(IStream** out) = 0;

protected:
  ~IStream() = default;
};

// Answers IUnknown, ISequentialStream and IStream for the stream classes below.
class StreamBase : public IStream
{
public:
  HRESULT QueryInterface(const IID& iid, void** out) override;
  ULONG AddRef() override { return 1; }
  ULONG Release() override { return 1; }
  HRESULT Read(void* buffer, ULONG count, ULONG* read) override;
  HRESULT Write(const void* data, ULONG count, ULONG* written) override;
  HRESULT Seek(LONGLONG move, DWORD origin, ULONGLONG* position) override;
  HRESULT SetSize(ULONGLONG size) override;
  HRESULT CopyTo(IStream* target, ULONGLONG count, ULONGLONG* read, ULONGLONG* written) override;
  HRESULT Commit(DWORD flags) override;
  HRESULT Revert() override;
  HRESULT LockRegion(ULONGLONG offset, ULONGLONG count, DWORD type) override;
  HRESULT UnlockRegion(ULONGLONG offset, ULONGLONG count, DWORD type) override;
  HRESULT Stat(STATSTG* stat, DWORD flags) override;
  HRESULT Clone(IStream** out) override;

protected:
  ~StreamBase() = default;
};

// The input stream of a document load: reads the bytes it was constructed on, then 0 bytes.
class istringstream_To_IStream final : public StreamBase
{
public:
  explicit istringstream_To_IStream(std::string bytes) : m_bytes(std::move(bytes)) {}
  HRESULT Read(void* buffer, ULONG count, ULONG* read) override;

private:
  std::string m_bytes;
  std::size_t m_pos = 0;
};

// The write-stream interface a document save writes through.
struct IWriteStream
{
  virtual HRESULT WriteStream(const void* data, ULONG size, ULONG* written) = 0;
  virtual HRESULT FlushStream() = 0;

protected:
  ~IWriteStream() = default;
};

// Accumulates the bytes written into a string.
class WriteStream_To_ostringstream : public IWriteStream
{
public:
  HRESULT WriteStream(const void* data, ULONG size, ULONG* written) override;
  HRESULT FlushStream() override;
  const std::string& GetStream() const noexcept { return m_bytes; }

private:
  std::string m_bytes;
};

// Presents a write-stream as the output stream of a document save. A failed write answers
// STG_E_CANTSAVE; reading is not supported.
class ostringstream_To_IStream final : public StreamBase
{
public:
  explicit ostringstream_To_IStream(IWriteStream& sink) : m_sink(sink) {}
  HRESULT Write(const void* data, ULONG count, ULONG* written) override;

private:
  IWriteStream& m_sink;
};

}  // namespace util
