// The embedded configuration archive: resource to temporary file to extracted directory.
#include "config/resource_unpack.h"

#include <shlobj.h>
#include <setupapi.h>

#include "app/log.h"
#include "base/handle.h"
#include "base/path.h"
#include "config/seven_zip.h"

bool CResourceUnpack::Init(HMODULE module, int resourceId, const wchar_t* resourceType) {
    Reset();
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(resourceId), resourceType);
    if (!info)
        return false;
    HGLOBAL loaded = LoadResource(module, info);
    DWORD size = SizeofResource(module, info);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data || size == 0 || size > 0x7FFFFFFF)
        return false;
    data_ = static_cast<const BYTE*>(data);
    size_ = static_cast<int>(size);
    return true;
}

void CResourceUnpack::InitFromMemory(const void* data, int size) {
    data_ = static_cast<const BYTE*>(data);
    size_ = data ? size : 0;
}

void CResourceUnpack::Reset() {
    data_ = nullptr;
    size_ = 0;
}

bool CResourceUnpack::WriteTo(const std::wstring& path, int* chunks) const {
    if (chunks)
        *chunks = 0;
    DeleteFileW(path.c_str());
    base::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                        nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        Log(L"cannot create [%s], error %lu", path.c_str(), GetLastError());
        return false;
    }
    int offset = 0;
    while (offset < size_) {
        int count = size_ - offset < kChunkSize ? size_ - offset : kChunkSize;
        DWORD written = 0;
        if (!WriteFile(file.Get(), data_ + offset, static_cast<DWORD>(count), &written, nullptr) ||
            written != static_cast<DWORD>(count)) {
            // A short copy would later be read as a damaged archive or list, or worse, as a
            // shorter valid one: report it here and leave nothing behind.
            Log(L"writing [%s] failed, error %lu", path.c_str(), GetLastError());
            file.Reset();
            DeleteFileW(path.c_str());
            return false;
        }
        offset += count;
        if (chunks)
            ++*chunks;
    }
    return true;
}

bool CResourceUnpack::ExtractTo(std::wstring& directory, bool use7z) {
    directory.clear();
    if (!data_) {
        Log(L"no configuration resource");
        return false;
    }
    std::wstring temp = path::TempDir();
    std::wstring archive = path::FreeTempName(temp);
    if (archive.empty()) {
        Log(L"no free temporary name in [%s]", temp.c_str());
        return false;
    }
    if (!WriteTo(archive))
        return false;
    std::wstring outDir = path::FreeTempName(temp);
    if (outDir.empty()) {
        Log(L"no free temporary name in [%s]", temp.c_str());
        return false;
    }
    SHCreateDirectory(nullptr, outDir.c_str());
    bool ok = use7z ? config::Extract7z(archive, outDir, nullptr) == 0
                    : config::ExtractCabinet(archive, outDir);
    if (!ok) {
        // The copy and the directory stay: both lie in the temporary folder, and what is in
        // them may help to tell why the configuration was damaged.
        Log(L"extracting the configuration archive [%s] failed", archive.c_str());
        return false;
    }
    directory = outDir;
    DeleteFileW(archive.c_str());
    return true;
}

namespace config {
namespace {

struct CabinetContext {
    std::wstring outDirectory;
};

UINT CALLBACK CabinetCallback(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR) {
    auto* cabinet = static_cast<CabinetContext*>(context);
    switch (notification) {
        case SPFILENOTIFY_FILEINCABINET: {
            auto* info = reinterpret_cast<FILE_IN_CABINET_INFO_W*>(param1);
            std::wstring_view name = info->NameInCabinet;
            // Security: a cabinet entry names its own target. A name with ".." is refused even
            // when it would stay inside the directory, and every other name must still resolve
            // below the directory once made absolute (drive letters, rooted names), so that a
            // crafted cabinet cannot write anywhere else.
            if (name.find(L"..") != std::wstring_view::npos || !IsSafeRelativePath(name)) {
                Log(L"cabinet entry [%s] has an unsafe path, skipped", info->NameInCabinet);
                return FILEOP_SKIP;
            }
            std::wstring target = JoinInside(cabinet->outDirectory, name);
            if (target.empty() || target.size() >= ARRAYSIZE(info->FullTargetName)) {
                Log(L"cabinet entry [%s] has an unsafe path, skipped", info->NameInCabinet);
                return FILEOP_SKIP;
            }
            wcscpy_s(info->FullTargetName, ARRAYSIZE(info->FullTargetName), target.c_str());
            SHCreateDirectoryExW(nullptr, path::DirName(target).c_str(), nullptr);
            return FILEOP_DOIT;
        }
        case SPFILENOTIFY_NEEDNEWCABINET:
            return ERROR_INVALID_PARAMETER;
        case SPFILENOTIFY_FILEEXTRACTED:
            return reinterpret_cast<FILEPATHS_W*>(param1)->Win32Error;
        default:
            return 0;
    }
}

}  // namespace

bool ExtractCabinet(const std::wstring& cabinetPath, const std::wstring& outDirectory) {
    CabinetContext context{path::StripTrailingSlash(outDirectory)};
    if (!SetupIterateCabinetW(cabinetPath.c_str(), 0, CabinetCallback, &context)) {
        Log(L"SetupIterateCabinet [%s] failed, error %lu", cabinetPath.c_str(), GetLastError());
        return false;
    }
    return true;
}

}  // namespace config
