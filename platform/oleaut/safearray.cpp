// SAFEARRAY of fixed-size elements: the header with its bounds and the element bytes apart.
#include "platform/oleaut/oleaut.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace {

// fFeatures bits of Windows, kept for callers that read them.
constexpr uint16_t FADF_HAVEVARTYPE = 0x0080;

uint32_t element_size(VARTYPE vt) {
    switch (vt) {
    case VT_I1:
    case VT_UI1:
        return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
        return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
        return 4;
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_I8:
    case VT_UI8:
        return 8;
    case VT_DECIMAL:
        return 16;
    default:
        return 0;
    }
}

// Total element count; false on overflow of the byte size.
bool total_bytes(const SAFEARRAY* array, std::size_t& bytes) {
    std::size_t count = 1;
    for (unsigned i = 0; i < array->cDims; ++i) {
        const std::size_t n = array->rgsabound[i].cElements;
        if (n != 0 && count > std::numeric_limits<std::size_t>::max() / n) {
            return false;
        }
        count *= n;
    }
    if (array->cbElements != 0 &&
        count > std::numeric_limits<std::size_t>::max() / array->cbElements) {
        return false;
    }
    bytes = count * array->cbElements;
    return true;
}

std::size_t header_size(unsigned dims) {
    return sizeof(SAFEARRAY) + (dims > 1 ? (dims - 1) * sizeof(SAFEARRAYBOUND) : 0);
}

} // namespace

SAFEARRAY* SafeArrayCreate(VARTYPE element_type, unsigned int dims, const SAFEARRAYBOUND* bounds) {
    const uint32_t size = element_size(element_type);
    if (size == 0 || dims == 0 || dims > 0xFFFF || bounds == nullptr) {
        return nullptr;
    }
    auto* array = static_cast<SAFEARRAY*>(std::calloc(1, header_size(dims)));
    if (array == nullptr) {
        return nullptr;
    }
    array->cDims = static_cast<uint16_t>(dims);
    array->fFeatures = FADF_HAVEVARTYPE;
    array->cbElements = size;
    // Windows stores the bounds with the last dimension first.
    for (unsigned i = 0; i < dims; ++i) {
        array->rgsabound[i] = bounds[dims - 1 - i];
    }
    std::size_t bytes = 0;
    if (!total_bytes(array, bytes)) {
        std::free(array);
        return nullptr;
    }
    if (bytes != 0) {
        array->pvData = std::calloc(1, bytes);
        if (array->pvData == nullptr) {
            std::free(array);
            return nullptr;
        }
    }
    return array;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE element_type, int32_t lower_bound, uint32_t count) {
    const SAFEARRAYBOUND bound{count, lower_bound};
    return SafeArrayCreate(element_type, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* array) {
    if (array == nullptr) {
        return S_OK;
    }
    if (array->cLocks != 0) {
        return DISP_E_ARRAYISLOCKED;
    }
    std::free(array->pvData);
    std::free(array);
    return S_OK;
}

HRESULT SafeArrayRedim(SAFEARRAY* array, const SAFEARRAYBOUND* new_bound) {
    if (array == nullptr || new_bound == nullptr || array->cDims == 0) {
        return E_INVALIDARG;
    }
    if (array->cLocks != 0) {
        return DISP_E_ARRAYISLOCKED;
    }
    std::size_t old_bytes = 0;
    total_bytes(array, old_bytes);
    // The last dimension (stored first) is the one that changes.
    const SAFEARRAYBOUND previous = array->rgsabound[0];
    array->rgsabound[0] = *new_bound;
    std::size_t new_bytes = 0;
    if (!total_bytes(array, new_bytes)) {
        array->rgsabound[0] = previous;
        return E_OUTOFMEMORY;
    }
    if (new_bytes == 0) {
        std::free(array->pvData);
        array->pvData = nullptr;
        return S_OK;
    }
    void* data = std::realloc(array->pvData, new_bytes);
    if (data == nullptr) {
        array->rgsabound[0] = previous;
        return E_OUTOFMEMORY;
    }
    if (new_bytes > old_bytes) {
        std::memset(static_cast<char*>(data) + old_bytes, 0, new_bytes - old_bytes);
    }
    array->pvData = data;
    return S_OK;
}

unsigned int SafeArrayGetDim(SAFEARRAY* array) {
    return array == nullptr ? 0 : array->cDims;
}

unsigned int SafeArrayGetElemsize(SAFEARRAY* array) {
    return array == nullptr ? 0 : array->cbElements;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* array, unsigned int dim, int32_t* lower) {
    if (array == nullptr || lower == nullptr) {
        return E_INVALIDARG;
    }
    if (dim == 0 || dim > array->cDims) {
        return DISP_E_BADINDEX;
    }
    *lower = array->rgsabound[array->cDims - dim].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* array, unsigned int dim, int32_t* upper) {
    if (array == nullptr || upper == nullptr) {
        return E_INVALIDARG;
    }
    if (dim == 0 || dim > array->cDims) {
        return DISP_E_BADINDEX;
    }
    const SAFEARRAYBOUND& bound = array->rgsabound[array->cDims - dim];
    *upper = static_cast<int32_t>(static_cast<int64_t>(bound.lLbound) + bound.cElements - 1);
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data) {
    if (array == nullptr || data == nullptr) {
        return E_INVALIDARG;
    }
    ++array->cLocks;
    *data = array->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* array) {
    if (array == nullptr) {
        return E_INVALIDARG;
    }
    if (array->cLocks == 0) {
        return E_UNEXPECTED;
    }
    --array->cLocks;
    return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* source, SAFEARRAY** copy) {
    if (copy == nullptr) {
        return E_INVALIDARG;
    }
    *copy = nullptr;
    if (source == nullptr) {
        return S_OK;
    }
    std::size_t bytes = 0;
    if (!total_bytes(source, bytes)) {
        return E_OUTOFMEMORY;
    }
    const std::size_t header = header_size(source->cDims);
    auto* result = static_cast<SAFEARRAY*>(std::malloc(header));
    if (result == nullptr) {
        return E_OUTOFMEMORY;
    }
    std::memcpy(result, source, header);
    result->cLocks = 0;
    result->pvData = nullptr;
    if (bytes != 0) {
        result->pvData = std::malloc(bytes);
        if (result->pvData == nullptr) {
            std::free(result);
            return E_OUTOFMEMORY;
        }
        std::memcpy(result->pvData, source->pvData, bytes);
    }
    *copy = result;
    return S_OK;
}
