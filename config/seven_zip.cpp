// The 7z client: streams and callbacks the engine calls, loading the engine, and extraction.
#include <windows.h>
#include <ole2.h>
#include <shlobj.h>

// Defines the 7-Zip interface identifiers (IID_IInArchive and the rest) in this one file.
#include <Common/MyInitGuid.h>

#include "config/seven_zip_client.h"

#include <cstdio>

#include "app/log.h"
#include "base/locker.h"
#include "base/path.h"
#include "base/strings.h"

namespace config {
namespace {

// The 7z format handler of the engine, {23170F69-40C1-278A-1000-000110070000}.
const GUID kClsidFormat7z = {
    0x23170F69, 0x40C1, 0x278A, {0x10, 0x00, 0x00, 0x01, 0x10, 0x07, 0x00, 0x00}};

using CreateObjectFn = HRESULT(WINAPI*)(const GUID* clsid, const GUID* iid, void** out);

// The engine stays loaded for the life of the process once it has loaded; the lock keeps two
// first callers from both loading it.
_BaseModule::CCriticalSection& EngineLock() {
    static auto* lock = new _BaseModule::CCriticalSection;
    return *lock;
}
HMODULE g_engine = nullptr;

CreateObjectFn EngineFactory() {
    _BaseModule::CAutoLocker guard(EngineLock());
    if (!g_engine)
        return nullptr;
    return reinterpret_cast<CreateObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(g_engine, "CreateObject")));
}

HRESULT SeekIn(UInt64 size, UInt64& position, Int64 offset, UInt32 origin, UInt64* newPosition) {
    Int64 base = 0;
    switch (origin) {
        case STREAM_SEEK_SET:
            break;
        case STREAM_SEEK_CUR:
            base = static_cast<Int64>(position);
            break;
        case STREAM_SEEK_END:
            base = static_cast<Int64>(size);
            break;
        default:
            return STG_E_INVALIDFUNCTION;
    }
    Int64 target = base + offset;
    if (target < 0)
        return HRESULT_FROM_WIN32(ERROR_NEGATIVE_SEEK);
    position = static_cast<UInt64>(target);
    if (newPosition)
        *newPosition = position;
    return S_OK;
}

HRESULT LastErrorResult() {
    DWORD error = GetLastError();
    return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

bool EnsureDirectory(const std::wstring& dir) {
    if (path::DirExists(dir))
        return true;
    int rc = SHCreateDirectoryExW(nullptr, dir.c_str(), nullptr);
    return (rc == ERROR_SUCCESS || rc == ERROR_ALREADY_EXISTS) && path::DirExists(dir);
}

// Reads a string, bool, 32-bit, 64-bit or time property; false when the item has none of that
// type.
class Prop {
  public:
    Prop() { PropVariantInit(&value_); }
    ~Prop() { PropVariantClear(&value_); }
    Prop(const Prop&) = delete;
    Prop& operator=(const Prop&) = delete;
    PROPVARIANT* Put() {
        PropVariantClear(&value_);
        return &value_;
    }
    const PROPVARIANT& Get() const { return value_; }

  private:
    PROPVARIANT value_;
};

}  // namespace

// Reference counting shared by the objects below: the last Release frees the object.
#define CONFIG_IMPLEMENT_REFCOUNT(Class)                         \
    STDMETHODIMP_(ULONG) Class::AddRef() {                       \
        return static_cast<ULONG>(InterlockedIncrement(&refs_)); \
    }                                                            \
    STDMETHODIMP_(ULONG) Class::Release() {                      \
        LONG left = InterlockedDecrement(&refs_);                \
        if (left == 0)                                           \
            delete this;                                         \
        return static_cast<ULONG>(left);                         \
    }

CONFIG_IMPLEMENT_REFCOUNT(CInFileStream)
CONFIG_IMPLEMENT_REFCOUNT(COutFileStream)
CONFIG_IMPLEMENT_REFCOUNT(CInBufferStream)
CONFIG_IMPLEMENT_REFCOUNT(CArchiveOpenCallback)
CONFIG_IMPLEMENT_REFCOUNT(CArchiveExtractCallback)

// ---- CInFileStream

CInFileStream* CInFileStream::Open(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    return new CInFileStream(file);
}

namespace {

// The QueryInterface of both read streams, which offer the same interfaces.
template <typename Stream>
HRESULT QueryInStream(Stream* self, REFIID iid, void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_ISequentialInStream || iid == IID_IInStream)
        *out = static_cast<IInStream*>(self);
    else if (iid == IID_IStreamGetSize)
        *out = static_cast<IStreamGetSize*>(self);
    else
        return E_NOINTERFACE;
    self->AddRef();
    return S_OK;
}

}  // namespace

STDMETHODIMP CInFileStream::QueryInterface(REFIID iid, void** out) {
    return QueryInStream(this, iid, out);
}

// The Seek of both file streams: the origin values of the archive interfaces are FILE_BEGIN,
// FILE_CURRENT and FILE_END.
HRESULT SeekFile(HANDLE file, Int64 offset, UInt32 seekOrigin, UInt64* newPosition) {
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    LARGE_INTEGER result;
    if (!SetFilePointerEx(file, distance, &result, seekOrigin))
        return LastErrorResult();
    if (newPosition)
        *newPosition = static_cast<UInt64>(result.QuadPart);
    return S_OK;
}

Z7_COM7F_IMF(CInFileStream::Read(void* data, UInt32 size, UInt32* processedSize)) {
    if (processedSize)
        *processedSize = 0;
    DWORD read = 0;
    if (!ReadFile(file_.Get(), data, size, &read, nullptr))
        return LastErrorResult();
    if (processedSize)
        *processedSize = read;
    return S_OK;
}

Z7_COM7F_IMF(CInFileStream::Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition)) {
    return SeekFile(file_.Get(), offset, seekOrigin, newPosition);
}

Z7_COM7F_IMF(CInFileStream::GetSize(UInt64* size)) {
    LARGE_INTEGER result;
    if (!GetFileSizeEx(file_.Get(), &result))
        return LastErrorResult();
    *size = static_cast<UInt64>(result.QuadPart);
    return S_OK;
}

// ---- COutFileStream

STDMETHODIMP COutFileStream::QueryInterface(REFIID iid, void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_ISequentialOutStream || iid == IID_IOutStream)
        *out = static_cast<IOutStream*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

Z7_COM7F_IMF(COutFileStream::Write(const void* data, UInt32 size, UInt32* processedSize)) {
    if (processedSize)
        *processedSize = 0;
    DWORD written = 0;
    if (!WriteFile(file_.Get(), data, size, &written, nullptr))
        return LastErrorResult();
    if (processedSize)
        *processedSize = written;
    return S_OK;
}

Z7_COM7F_IMF(COutFileStream::Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition)) {
    return SeekFile(file_.Get(), offset, seekOrigin, newPosition);
}

Z7_COM7F_IMF(COutFileStream::SetSize(UInt64 newSize)) {
    LARGE_INTEGER current = {};
    LARGE_INTEGER zero = {};
    if (!SetFilePointerEx(file_.Get(), zero, &current, FILE_CURRENT))
        return LastErrorResult();
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(newSize);
    bool ok = SetFilePointerEx(file_.Get(), end, nullptr, FILE_BEGIN) && SetEndOfFile(file_.Get());
    HRESULT hr = ok ? S_OK : LastErrorResult();
    SetFilePointerEx(file_.Get(), current, nullptr, FILE_BEGIN);
    return hr;
}

// ---- CInBufferStream

STDMETHODIMP CInBufferStream::QueryInterface(REFIID iid, void** out) {
    return QueryInStream(this, iid, out);
}

Z7_COM7F_IMF(CInBufferStream::Read(void* data, UInt32 size, UInt32* processedSize)) {
    UInt32 count = 0;
    if (position_ < size_) {
        UInt64 left = size_ - position_;
        count = left < size ? static_cast<UInt32>(left) : size;
        memcpy(data, data_ + position_, count);
        position_ += count;
    }
    if (processedSize)
        *processedSize = count;
    return S_OK;
}

Z7_COM7F_IMF(CInBufferStream::Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition)) {
    return SeekIn(size_, position_, offset, seekOrigin, newPosition);
}

Z7_COM7F_IMF(CInBufferStream::GetSize(UInt64* size)) {
    *size = size_;
    return S_OK;
}

// ---- CArchiveOpenCallback

STDMETHODIMP CArchiveOpenCallback::QueryInterface(REFIID iid, void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    // Only the progress interface: asked for a password interface, the engine gets none, so an
    // encrypted archive fails to open instead of waiting for input nobody can give.
    if (iid == IID_IUnknown || iid == IID_IArchiveOpenCallback)
        *out = static_cast<IArchiveOpenCallback*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

Z7_COM7F_IMF(CArchiveOpenCallback::SetTotal(const UInt64*, const UInt64*)) {
    return S_OK;
}
Z7_COM7F_IMF(CArchiveOpenCallback::SetCompleted(const UInt64*, const UInt64*)) {
    return S_OK;
}

// ---- CArchiveExtractCallback

CArchiveExtractCallback::CArchiveExtractCallback(IInArchive* archive,
                                                 const std::wstring& outDirectory,
                                                 IExtractObserver* observer)
    : archive_(archive),
      outDirectory_(path::StripTrailingSlash(outDirectory)),
      observer_(observer) {}

CArchiveExtractCallback::~CArchiveExtractCallback() {
    // An extraction stopped in the middle of an item leaves a partial file.
    if (outFile_)
        FinishItem(false);
}

STDMETHODIMP CArchiveExtractCallback::QueryInterface(REFIID iid, void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IProgress || iid == IID_IArchiveExtractCallback)
        *out = static_cast<IArchiveExtractCallback*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

Z7_COM7F_IMF(CArchiveExtractCallback::SetTotal(UInt64)) {
    return S_OK;
}
Z7_COM7F_IMF(CArchiveExtractCallback::SetCompleted(const UInt64*)) {
    return S_OK;
}

Z7_COM7F_IMF(CArchiveExtractCallback::GetStream(UInt32 index, ISequentialOutStream** outStream,
                                                Int32 askExtractMode)) {
    *outStream = nullptr;
    FinishItem(true);  // an item the engine never closed (should not happen) is kept as is
    itemPath_.clear();
    itemIsDir_ = itemHasTime_ = itemHasAttrib_ = false;
    if (askExtractMode != NArchive::NExtract::NAskMode::kExtract)
        return S_OK;

    Prop prop;
    HRESULT hr = archive_->GetProperty(index, kpidPath, prop.Put());
    if (FAILED(hr))
        return hr;
    std::wstring name;
    if (prop.Get().vt == VT_BSTR && prop.Get().bstrVal)
        name = prop.Get().bstrVal;
    if (SUCCEEDED(archive_->GetProperty(index, kpidIsDir, prop.Put())) && prop.Get().vt == VT_BOOL)
        itemIsDir_ = prop.Get().boolVal != VARIANT_FALSE;
    if (SUCCEEDED(archive_->GetProperty(index, kpidAttrib, prop.Put())) &&
        prop.Get().vt == VT_UI4) {
        itemHasAttrib_ = true;
        itemAttrib_ = prop.Get().ulVal;
    }
    if (SUCCEEDED(archive_->GetProperty(index, kpidMTime, prop.Put())) &&
        prop.Get().vt == VT_FILETIME) {
        itemHasTime_ = true;
        itemTime_ = prop.Get().filetime;
    }
    // The size is informative only: the engine writes what the archive holds.

    // Security: the archive's item names decide where files are written. An item named with a
    // drive, a leading separator or a ".." component would be written wherever the name points
    // (over a system file, into the startup folder, ...). Such items are left out and logged;
    // the rest of the archive is still extracted. JoinInside then checks the final absolute path
    // once more, so that no spelling the check above missed can leave the output directory.
    std::wstring target = IsSafeRelativePath(name) ? JoinInside(outDirectory_, name) : L"";
    if (target.empty()) {
        Log(L"archive item [%s] has an unsafe path, skipped", name.c_str());
        ++skipped_;
        return S_OK;
    }
    printf("Extracting file: %ls\n", name.c_str());

    if (itemIsDir_) {
        if (!EnsureDirectory(target)) {
            Log(L"cannot create directory [%s], error %lu", target.c_str(), GetLastError());
            failed_ = true;
            return E_FAIL;
        }
        itemPath_ = target;
        return S_OK;
    }
    std::wstring parent = path::DirName(target);
    if (!EnsureDirectory(parent)) {
        Log(L"cannot create directory [%s], error %lu", parent.c_str(), GetLastError());
        failed_ = true;
        return E_FAIL;
    }
    // A read-only leftover of an earlier run would refuse CREATE_ALWAYS.
    SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    HANDLE file = CreateFileW(target.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        HRESULT error = LastErrorResult();
        Log(L"cannot create file [%s], error %lu", target.c_str(), GetLastError());
        failed_ = true;
        return error;
    }
    itemPath_ = target;
    outFile_ = new COutFileStream(file);
    outFile_->AddRef();
    *outStream = outFile_;
    return S_OK;
}

Z7_COM7F_IMF(CArchiveExtractCallback::PrepareOperation(Int32)) {
    return S_OK;
}

Z7_COM7F_IMF(CArchiveExtractCallback::SetOperationResult(Int32 opRes)) {
    bool good = opRes == NArchive::NExtract::NOperationResult::kOK;
    if (!good) {
        Log(L"archive item [%s] failed, result %d", itemPath_.c_str(), static_cast<int>(opRes));
        failed_ = true;
    }
    FinishItem(good);
    return S_OK;
}

void CArchiveExtractCallback::FinishItem(bool good) {
    if (outFile_) {
        if (good && itemHasTime_)
            SetFileTime(outFile_->Handle(), nullptr, nullptr, &itemTime_);
        // Closed here, not at the engine's last release, so that the file can be deleted or
        // have its attributes set at once.
        outFile_->Close();
        outFile_->Release();
        outFile_ = nullptr;
        if (!good) {
            // A damaged item leaves a partial file; it must not pass for a good one.
            DeleteFileW(itemPath_.c_str());
            itemPath_.clear();
            return;
        }
    }
    if (good && !itemPath_.empty() && itemHasAttrib_) {
        // Only the plain Windows attributes; the high bits may carry Unix modes.
        const UInt32 kKept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                             FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
        UInt32 attrib = itemAttrib_ & kKept;
        if (attrib)
            SetFileAttributesW(itemPath_.c_str(),
                               attrib | (itemIsDir_ ? FILE_ATTRIBUTE_DIRECTORY : 0));
    }
    itemPath_.clear();
}

// ---- free functions

namespace {

// "CON", "NUL", "COM1", "LPT1"... name devices in every folder on older Windows, also with an
// extension ("nul.txt"): writing an item of that name would go to the device, not to a file.
bool IsDeviceName(std::wstring_view part) {
    std::wstring_view stem = part.substr(0, part.find(L'.'));
    while (!stem.empty() && stem.back() == L' ')
        stem.remove_suffix(1);
    std::wstring upper = base::ToUpper(stem);
    static const wchar_t* const kDevices[] = {L"CON", L"PRN",    L"AUX",
                                              L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* device : kDevices) {
        if (upper == device)
            return true;
    }
    return upper.size() == 4 && (upper.starts_with(L"COM") || upper.starts_with(L"LPT")) &&
           upper[3] >= L'0' && upper[3] <= L'9';
}

}  // namespace

bool IsSafeRelativePath(std::wstring_view path) {
    if (path.empty() || path.front() == L'\\' || path.front() == L'/')
        return false;
    if (path.find(L':') != std::wstring_view::npos)
        return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find_first_of(L"\\/", start);
        if (end == std::wstring_view::npos)
            end = path.size();
        std::wstring_view part = path.substr(start, end - start);
        // Windows drops trailing dots and spaces from a name, so ". ." or "..." can mean "..":
        // a component made only of those is refused outright. An empty component ("a\\b")
        // is harmless and allowed.
        if (!part.empty() && part.find_first_not_of(L". ") == std::wstring_view::npos)
            return false;
        if (IsDeviceName(part))
            return false;
        start = end + 1;
    }
    return true;
}

std::wstring JoinInside(const std::wstring& directory, std::wstring_view relative) {
    std::wstring base = path::StripTrailingSlash(directory);
    std::wstring joined = path::Join(base, relative);
    wchar_t full[MAX_PATH * 4];
    DWORD length = GetFullPathNameW(joined.c_str(), ARRAYSIZE(full), full, nullptr);
    wchar_t fullBase[MAX_PATH * 4];
    DWORD baseLength = GetFullPathNameW(base.c_str(), ARRAYSIZE(fullBase), fullBase, nullptr);
    if (length == 0 || length >= ARRAYSIZE(full) || baseLength == 0 ||
        baseLength >= ARRAYSIZE(fullBase))
        return {};
    std::wstring result(full, length);
    std::wstring prefix = path::StripTrailingSlash(std::wstring(fullBase, baseLength)) + L"\\";
    if (result.size() <= prefix.size() ||
        CompareStringOrdinal(result.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                             static_cast<int>(prefix.size()), TRUE) != CSTR_EQUAL)
        return {};
    return result;
}

bool LoadEngine(const std::wstring& path) {
    _BaseModule::CAutoLocker guard(EngineLock());
    if (g_engine)
        return true;
    HMODULE module = LoadLibraryW(path.c_str());
    if (!module) {
        Log(L"LoadLibrary [%s] failed, error %lu", path.c_str(), GetLastError());
        return false;
    }
    // A file that loads is not yet an engine: it must export the factory and make the 7z
    // handler, or every later extraction would fail far from the cause.
    auto create = reinterpret_cast<CreateObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "CreateObject")));
    IInArchive* archive = nullptr;
    HRESULT hr = create
                     ? create(&kClsidFormat7z, &IID_IInArchive, reinterpret_cast<void**>(&archive))
                     : E_NOINTERFACE;
    if (FAILED(hr) || !archive) {
        Log(L"[%s] is not a usable 7z engine, hr = 0x%08lX", path.c_str(),
            static_cast<unsigned long>(hr));
        FreeLibrary(module);
        return false;
    }
    archive->Release();
    g_engine = module;
    return true;
}

bool IsEngineLoaded() {
    _BaseModule::CAutoLocker guard(EngineLock());
    return g_engine != nullptr;
}

namespace {

// Opens `stream` as a 7z archive and extracts all its items into `outDirectory`.
int ExtractStream(base::ComPtr<IInStream> stream, const wchar_t* archiveName,
                  const std::wstring& outDirectory, IExtractObserver* observer) {
    if (!EnsureDirectory(outDirectory)) {
        Log(L"cannot create directory [%s], error %lu", outDirectory.c_str(), GetLastError());
        return -1;
    }
    CreateObjectFn create = EngineFactory();
    if (!create) {
        Log(L"7z engine not loaded");
        return -1;
    }
    base::ComPtr<IInArchive> archive;
    HRESULT hr = create(&kClsidFormat7z, &IID_IInArchive, archive.PutVoid());
    if (FAILED(hr) || !archive) {
        Log(L"7z CreateObject failed, hr = 0x%08lX", static_cast<unsigned long>(hr));
        return -1;
    }
    if (observer)
        observer->OnExtractStart(archiveName, outDirectory.c_str());

    bool ok = false;
    if (!stream) {
        Log(L"cannot open archive [%s], error %lu", archiveName, GetLastError());
    } else {
        base::ComPtr<IArchiveOpenCallback> openCallback;
        *openCallback.Put() = new CArchiveOpenCallback;
        // The engine answers S_FALSE, a success code, for a file that is not an archive of its
        // format or is cut short; only S_OK means the archive opened.
        hr = archive->Open(stream.Get(), nullptr, openCallback.Get());
        if (hr != S_OK) {
            Log(L"cannot open [%s] as a 7z archive, hr = 0x%08lX", archiveName,
                static_cast<unsigned long>(hr));
        } else {
            auto* callback = new CArchiveExtractCallback(archive.Get(), outDirectory, observer);
            base::ComPtr<IArchiveExtractCallback> holder;
            *holder.Put() = callback;
            // A damaged item does not fail Extract itself; the callback hears of it through
            // SetOperationResult.
            hr = archive->Extract(nullptr, static_cast<UInt32>(-1), 0, callback);
            ok = hr == S_OK && !callback->Failed();
            if (!ok)
                Log(L"extracting [%s] failed, hr = 0x%08lX", archiveName,
                    static_cast<unsigned long>(hr));
            archive->Close();
        }
    }
    if (observer)
        observer->OnExtractEnd(ok);
    return ok ? 0 : -1;
}

}  // namespace

int Extract7z(const std::wstring& archivePath, const std::wstring& outDirectory,
              IExtractObserver* observer) {
    base::ComPtr<IInStream> stream;
    *stream.Put() = CInFileStream::Open(archivePath);
    return ExtractStream(std::move(stream), archivePath.c_str(), outDirectory, observer);
}

int Extract7zFromMemory(const void* data, size_t size, const std::wstring& outDirectory,
                        IExtractObserver* observer) {
    base::ComPtr<IInStream> stream;
    if (data)
        *stream.Put() = new CInBufferStream(data, size);
    return ExtractStream(std::move(stream), L"<memory>", outDirectory, observer);
}

}  // namespace config
