// The SDK's data-access functions, checked as strictly as the simulator is
// lenient: a bad handle or a wrong accessor is reported as a host error.
#include <algorithm>
#include <cstring>

#include "host/HostState.h"

using namespace velmir::host;
using namespace velmir::host::detail;

namespace {

// Handles are addresses of slots; anything else is reported, never touched.
DataRef* FromHandle(XPLMDataRef h, const char* function) {
    if (!h) return nullptr;
    State& s = S();
    auto p = reinterpret_cast<uintptr_t>(h);
    auto base = reinterpret_cast<uintptr_t>(s.refs.get());
    if (p < base || p >= base + sizeof(DataRef) * size_t(s.refCount) ||
        (p - base) % sizeof(DataRef) != 0) {
        Error("%s: invalid dataref handle %p", function, h);
        return nullptr;
    }
    return reinterpret_cast<DataRef*>(h);
}

// The simulator's float and double scalars answer either accessor (the
// plugin reads "elevation" as a float); any other mismatch is a bug.
bool Fits(DataType have, DataType want) {
    const bool real = want == DataType::Float || want == DataType::Double;
    return have == want || (real && (have == DataType::Float || have == DataType::Double));
}

DataRef* Access(XPLMDataRef h, const char* function, DataType want, bool write, double value = 0,
                int offset = 0, int count = 0) {
    DataRef* r = FromHandle(h, function);
    Record(function, r ? r->name.c_str() : nullptr, value, offset, count);
    if (!r) return nullptr;
    if (!Fits(r->type, want)) {
        Error("%s on %s dataref '%s'", function, TypeName(r->type), r->name.c_str());
        return nullptr;
    }
    if (write)
        ++r->writes;
    else
        ++r->reads;
    return r;
}

void LogWrite(DataRef& r, int offset, std::vector<double> values) {
    State& s = S();
    if (!s.writeLogOn) return;
    s.writeLog.push_back(DataWrite{r.name, offset, std::move(values), s.frame});
}

// The elements [offset, offset + n) that exist, as the real SDK clamps them.
int Clamp(int size, int offset, int n) {
    if (offset < 0 || n <= 0 || offset >= size) return 0;
    return std::min(n, size - offset);
}

template <typename T>
int GetArray(const std::vector<T>& v, T* out, int offset, int max) {
    const int size = int(v.size());
    if (!out) return size;
    const int n = Clamp(size, offset, max);
    if (n > 0) std::memcpy(out, v.data() + offset, sizeof(T) * size_t(n));
    return n;
}

template <typename T>
int SetArray(std::vector<T>& v, const T* in, int offset, int count) {
    if (!in) return 0;
    const int n = Clamp(int(v.size()), offset, count);
    if (n > 0) std::memcpy(v.data() + offset, in, sizeof(T) * size_t(n));
    return n;
}

template <typename T>
std::vector<double> AsDoubles(const T* p, int n) {
    std::vector<double> out;
    if (!S().writeLogOn || n <= 0) return out;
    out.reserve(size_t(n));
    for (int k = 0; k < n; ++k) out.push_back(double(p[k]));
    return out;
}

}  // namespace

extern "C" {

XPLM_API XPLMDataRef XPLMFindDataRef(const char* inDataRefName) {
    State& s = S();
    ++s.counts.findDataRef;
    const char* name = Intern(inDataRefName ? inDataRefName : "");
    Record("XPLMFindDataRef", name);
    DataRef* r = inDataRefName ? Ref(inDataRefName) : nullptr;
    if (!r || r->missing) {
        s.failedLookups.emplace_back(name);
        return nullptr;
    }
    return r;
}

XPLM_API int XPLMGetDatai(XPLMDataRef inDataRef) {
    DataRef* r = Access(inDataRef, "XPLMGetDatai", DataType::Int, false);
    return r ? r->i : 0;
}

XPLM_API void XPLMSetDatai(XPLMDataRef inDataRef, int inValue) {
    if (DataRef* r = Access(inDataRef, "XPLMSetDatai", DataType::Int, true, inValue)) {
        r->i = inValue;
        LogWrite(*r, 0, AsDoubles(&inValue, 1));
    }
}

XPLM_API float XPLMGetDataf(XPLMDataRef inDataRef) {
    DataRef* r = Access(inDataRef, "XPLMGetDataf", DataType::Float, false);
    if (!r) return 0.0f;
    return r->type == DataType::Double ? float(r->d) : r->f;
}

XPLM_API void XPLMSetDataf(XPLMDataRef inDataRef, float inValue) {
    if (DataRef* r = Access(inDataRef, "XPLMSetDataf", DataType::Float, true, inValue)) {
        if (r->type == DataType::Double)
            r->d = inValue;
        else
            r->f = inValue;
        LogWrite(*r, 0, AsDoubles(&inValue, 1));
    }
}

XPLM_API double XPLMGetDatad(XPLMDataRef inDataRef) {
    DataRef* r = Access(inDataRef, "XPLMGetDatad", DataType::Double, false);
    if (!r) return 0.0;
    return r->type == DataType::Float ? double(r->f) : r->d;
}

XPLM_API void XPLMSetDatad(XPLMDataRef inDataRef, double inValue) {
    if (DataRef* r = Access(inDataRef, "XPLMSetDatad", DataType::Double, true, inValue)) {
        if (r->type == DataType::Float)
            r->f = float(inValue);
        else
            r->d = inValue;
        LogWrite(*r, 0, AsDoubles(&inValue, 1));
    }
}

XPLM_API int XPLMGetDatavi(XPLMDataRef inDataRef, int* outValues, int inOffset, int inMax) {
    DataRef* r = Access(inDataRef, "XPLMGetDatavi", DataType::IntArray, false, 0, inOffset, inMax);
    return r ? GetArray(r->vi, outValues, inOffset, inMax) : 0;
}

XPLM_API void XPLMSetDatavi(XPLMDataRef inDataRef, int* inValues, int inoffset, int inCount) {
    DataRef* r = Access(inDataRef, "XPLMSetDatavi", DataType::IntArray, true,
                        inValues && inCount > 0 ? inValues[0] : 0, inoffset, inCount);
    if (!r) return;
    int n = SetArray(r->vi, inValues, inoffset, inCount);
    if (n > 0) LogWrite(*r, inoffset, AsDoubles(inValues, n));
}

XPLM_API int XPLMGetDatavf(XPLMDataRef inDataRef, float* outValues, int inOffset, int inMax) {
    DataRef* r =
        Access(inDataRef, "XPLMGetDatavf", DataType::FloatArray, false, 0, inOffset, inMax);
    return r ? GetArray(r->vf, outValues, inOffset, inMax) : 0;
}

XPLM_API void XPLMSetDatavf(XPLMDataRef inDataRef, float* inValues, int inoffset, int inCount) {
    DataRef* r = Access(inDataRef, "XPLMSetDatavf", DataType::FloatArray, true,
                        inValues && inCount > 0 ? inValues[0] : 0, inoffset, inCount);
    if (!r) return;
    int n = SetArray(r->vf, inValues, inoffset, inCount);
    if (n > 0) LogWrite(*r, inoffset, AsDoubles(inValues, n));
}

XPLM_API int XPLMGetDatab(XPLMDataRef inDataRef, void* outValue, int inOffset, int inMaxBytes) {
    DataRef* r = Access(inDataRef, "XPLMGetDatab", DataType::Bytes, false, 0, inOffset, inMaxBytes);
    return r ? GetArray(r->vb, static_cast<uint8_t*>(outValue), inOffset, inMaxBytes) : 0;
}

XPLM_API void XPLMSetDatab(XPLMDataRef inDataRef, void* inValue, int inOffset, int inLength) {
    DataRef* r = Access(inDataRef, "XPLMSetDatab", DataType::Bytes, true, 0, inOffset, inLength);
    if (!r) return;
    const auto* bytes = static_cast<const uint8_t*>(inValue);
    int n = SetArray(r->vb, bytes, inOffset, inLength);
    if (n > 0) LogWrite(*r, inOffset, AsDoubles(bytes, n));
}

}  // extern "C"
