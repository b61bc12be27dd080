// The COM-style face of `mid2`, as the maker's other modules reach it: the static object
// CVrnMID2 offers INewMID (and the empty IExtend every such object carries).
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <functional>
#include <string>

#include "base/locker.h"

// {3F69F600-0B9D-45DA-9551-5C231C7241E4}
inline constexpr IID IID_INewMID = {
    0x3f69f600, 0x0b9d, 0x45da, {0x95, 0x51, 0x5c, 0x23, 0x1c, 0x72, 0x41, 0xe4}};
// {DD20FF1D-DE07-4BD0-8B58-AAC6A171F75B}
inline constexpr IID IID_IExtend = {
    0xdd20ff1d, 0xde07, 0x4bd0, {0x8b, 0x58, 0xaa, 0xc6, 0xa1, 0x71, 0xf7, 0x5b}};

// An extension point of the maker's objects; the objects of this program implement none of it.
class IExtend : public IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE GetOption(DWORD id, VARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetOption(DWORD id, const VARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetObjectById(DWORD id, IUnknown** object) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetObjectById(DWORD id, IUnknown* object) = 0;
    virtual HRESULT STDMETHODCALLTYPE Notify(DWORD code, LPARAM parameter) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    // Forwards to Execute with no extra argument.
    virtual HRESULT STDMETHODCALLTYPE Call(LPCWSTR command) = 0;
    virtual HRESULT STDMETHODCALLTYPE Execute(LPCWSTR command, VARIANT* extra) = 0;
};

// IExtend with every operation answering E_NOTIMPL; the IUnknown operations stay abstract.
class CEmptyExtendImpl : public IExtend {
  public:
    HRESULT STDMETHODCALLTYPE GetOption(DWORD, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetOption(DWORD, const VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetObjectById(DWORD, IUnknown**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetObjectById(DWORD, IUnknown*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Notify(DWORD, LPARAM) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Call(LPCWSTR command) override { return Execute(command, nullptr); }
    HRESULT STDMETHODCALLTYPE Execute(LPCWSTR, VARIANT*) override { return E_NOTIMPL; }
    virtual ~CEmptyExtendImpl() = default;
};

class INewMID : public IUnknown {
  public:
    // Copies `mid2` into `buffer` (50 characters). E_FAIL when there is no value or it would
    // not fit.
    virtual HRESULT STDMETHODCALLTYPE GetMID2(wchar_t* buffer) = 0;
};

class CVrnMID2 : public CEmptyExtendImpl, public INewMID {
  public:
    static constexpr size_t kBufferChars = 50;

    // `compute` produces the value once; the default probes the hardware and the registry.
    explicit CVrnMID2(std::function<std::string()> compute = {});
    ~CVrnMID2() override = default;
    CVrnMID2(const CVrnMID2&) = delete;
    CVrnMID2& operator=(const CVrnMID2&) = delete;

    // The process's static object.
    static CVrnMID2& Instance();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    // The object is static: references are not counted.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE GetMID2(wchar_t* buffer) override;

  private:
    std::function<std::string()> compute_;
    _BaseModule::CCriticalSection computeLock_;
    _BaseModule::CCriticalSection valueLock_;
    bool computed_ = false;
    std::wstring value_;
};
