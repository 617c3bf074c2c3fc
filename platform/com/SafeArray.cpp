#include <cstdlib>
#include <cstring>

#include "platform/com/Variant.h"

namespace {

ULONG ElementSize(VARTYPE vt)
{
  switch (vt) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR: return 4;
    case VT_I8: case VT_UI8: case VT_R8: case VT_DATE: case VT_CY: return 8;
    case VT_BSTR: return sizeof(BSTR);
    case VT_DECIMAL: return sizeof(DECIMAL);
    case VT_VARIANT: return sizeof(VARIANT);
    default: return 0;
  }
}

void* ElementAt(const SAFEARRAY* psa, LONG index)
{
  return static_cast<char*>(psa->pvData) + static_cast<std::size_t>(index - psa->rgsabound[0].lLbound) * psa->cbElements;
}

bool InRange(const SAFEARRAY* psa, LONG index)
{
  return index >= psa->rgsabound[0].lLbound &&
         static_cast<long long>(index) - psa->rgsabound[0].lLbound < static_cast<long long>(psa->rgsabound[0].cElements);
}

void ClearElements(SAFEARRAY* psa)
{
  for (ULONG i = 0; i < psa->rgsabound[0].cElements; ++i) {
    char* p = static_cast<char*>(psa->pvData) + static_cast<std::size_t>(i) * psa->cbElements;
    if (psa->vt == VT_BSTR) {
      SysFreeString(*reinterpret_cast<BSTR*>(p));
      *reinterpret_cast<BSTR*>(p) = nullptr;
    } else if (psa->vt == VT_VARIANT) {
      // Only strings and arrays own memory; the other cells need no clearing (a long column
      // of numbers is destroyed without a call per cell).
      auto* cell = reinterpret_cast<VARIANT*>(p);
      if (cell->vt == VT_BSTR || (cell->vt & VT_ARRAY))
        VariantClear(cell);
      else
        cell->vt = VT_EMPTY;
    }
  }
}

HRESULT CopyElement(VARTYPE vt, void* dest, const void* src, ULONG size)
{
  if (vt == VT_BSTR) {
    const BSTR s = *static_cast<const BSTR*>(src);
    BSTR copy = s ? SysAllocStringLen(s, SysStringLen(s)) : nullptr;
    if (s && !copy)
      return E_OUTOFMEMORY;
    SysFreeString(*static_cast<BSTR*>(dest));
    *static_cast<BSTR*>(dest) = copy;
    return S_OK;
  }
  if (vt == VT_VARIANT)
    return VariantCopy(static_cast<VARIANT*>(dest), static_cast<const VARIANT*>(src));
  std::memcpy(dest, src, size);
  return S_OK;
}

}  // namespace

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements)
{
  const ULONG size = ElementSize(vt);
  if (size == 0)
    return nullptr;
  auto* psa = static_cast<SAFEARRAY*>(std::calloc(1, sizeof(SAFEARRAY)));
  if (!psa)
    return nullptr;
  psa->cDims = 1;
  psa->cbElements = size;
  psa->vt = vt;
  psa->rgsabound[0] = {cElements, lLbound};
  psa->pvData = std::calloc(cElements ? cElements : 1, size);
  if (!psa->pvData) {
    std::free(psa);
    return nullptr;
  }
  // calloc'ed cells are VT_EMPTY (0) already.
  static_assert(VT_EMPTY == 0);
  return psa;
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa)
{
  if (!psa)
    return S_OK;
  if (psa->cLocks)
    return DISP_E_ARRAYISLOCKED;
  ClearElements(psa);
  std::free(psa->pvData);
  std::free(psa);
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppv)
{
  if (!psa || !ppv)
    return E_INVALIDARG;
  ++psa->cLocks;
  *ppv = psa->pvData;
  return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa)
{
  if (!psa)
    return E_INVALIDARG;
  if (psa->cLocks == 0)
    return E_UNEXPECTED;
  --psa->cLocks;
  return S_OK;
}

HRESULT SafeArrayGetLBound(const SAFEARRAY* psa, unsigned dim, LONG* out)
{
  if (!psa || !out)
    return E_INVALIDARG;
  if (dim != 1)
    return DISP_E_BADINDEX;
  *out = psa->rgsabound[0].lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(const SAFEARRAY* psa, unsigned dim, LONG* out)
{
  if (!psa || !out)
    return E_INVALIDARG;
  if (dim != 1)
    return DISP_E_BADINDEX;
  *out = psa->rgsabound[0].lLbound + static_cast<LONG>(psa->rgsabound[0].cElements) - 1;
  return S_OK;
}

unsigned SafeArrayGetDim(const SAFEARRAY* psa) { return psa ? psa->cDims : 0; }

HRESULT SafeArrayGetVartype(const SAFEARRAY* psa, VARTYPE* vt)
{
  if (!psa || !vt)
    return E_INVALIDARG;
  *vt = psa->vt;
  return S_OK;
}

HRESULT SafeArrayGetElement(const SAFEARRAY* psa, const LONG* index, void* out)
{
  if (!psa || !index || !out)
    return E_INVALIDARG;
  if (!InRange(psa, *index))
    return DISP_E_BADINDEX;
  if (psa->vt == VT_BSTR)
    *static_cast<BSTR*>(out) = nullptr;
  else if (psa->vt == VT_VARIANT)
    VariantInit(static_cast<VARIANT*>(out));
  return CopyElement(psa->vt, out, ElementAt(psa, *index), psa->cbElements);
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* index, const void* in)
{
  if (!psa || !index)
    return E_INVALIDARG;
  if (!InRange(psa, *index))
    return DISP_E_BADINDEX;
  if (psa->vt == VT_BSTR) {
    // The element is given as the string itself, not as a pointer to it.
    BSTR s = static_cast<BSTR>(const_cast<void*>(in));
    return CopyElement(VT_BSTR, ElementAt(psa, *index), &s, psa->cbElements);
  }
  if (!in)
    return E_INVALIDARG;
  return CopyElement(psa->vt, ElementAt(psa, *index), in, psa->cbElements);
}

HRESULT SafeArrayCopy(const SAFEARRAY* psa, SAFEARRAY** out)
{
  if (!psa || !out)
    return E_INVALIDARG;
  SAFEARRAY* copy = SafeArrayCreateVector(psa->vt, psa->rgsabound[0].lLbound, psa->rgsabound[0].cElements);
  if (!copy)
    return E_OUTOFMEMORY;
  for (ULONG i = 0; i < psa->rgsabound[0].cElements; ++i) {
    const LONG idx = psa->rgsabound[0].lLbound + static_cast<LONG>(i);
    HRESULT hr = CopyElement(psa->vt, ElementAt(copy, idx), ElementAt(psa, idx), psa->cbElements);
    if (FAILED(hr)) {
      SafeArrayDestroy(copy);
      return hr;
    }
  }
  *out = copy;
  return S_OK;
}
