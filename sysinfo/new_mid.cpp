#include "sysinfo/new_mid.h"

#include "base/strings.h"
#include "sysinfo/machine_id.h"

CVrnMID2::CVrnMID2(std::function<std::string()> compute) : compute_(std::move(compute)) {
    if (!compute_)
        compute_ = [] { return machine_id::ComputeAndStoreMid2(); };
}

CVrnMID2& CVrnMID2::Instance() {
    // Deliberately leaked: detached statistics threads may still ask for it during exit.
    static CVrnMID2* instance = new CVrnMID2();
    return *instance;
}

HRESULT CVrnMID2::QueryInterface(REFIID iid, void** object) {
    if (!object)
        return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IExtend)) {
        *object = static_cast<IExtend*>(this);
    } else if (IsEqualIID(iid, IID_INewMID)) {
        *object = static_cast<INewMID*>(this);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    return S_OK;
}

HRESULT CVrnMID2::GetMID2(wchar_t* buffer) {
    if (!buffer)
        return E_POINTER;
    {
        // One computation per process; concurrent callers wait here and then copy the value.
        _BaseModule::CAutoLocker guard(computeLock_);
        if (!computed_) {
            std::wstring value = base::FromUtf8(compute_());
            _BaseModule::CAutoLocker valueGuard(valueLock_);
            value_ = value;
            computed_ = true;
        }
    }
    _BaseModule::CAutoLocker guard(valueLock_);
    if (value_.empty() || value_.size() >= kBufferChars)
        return E_FAIL;
    wcscpy(buffer, value_.c_str());
    return S_OK;
}
