// Reads the configuration archive embedded in the executable and unpacks it into a fresh
// directory in the temporary folder.
#pragma once

#include <windows.h>

#include <string>

class CResourceUnpack {
  public:
    // Bytes per write when copying the resource to a file.
    static constexpr int kChunkSize = 4096;

    CResourceUnpack() = default;
    virtual ~CResourceUnpack() = default;
    CResourceUnpack(const CResourceUnpack&) = delete;
    CResourceUnpack& operator=(const CResourceUnpack&) = delete;

    // Finds, loads and locks the resource; false when it is missing or empty.
    bool Init(HMODULE module, int resourceId, const wchar_t* resourceType);
    // Uses bytes the caller keeps alive instead of a resource.
    void InitFromMemory(const void* data, int size);
    void Reset();
    const BYTE* Data() const { return data_; }
    int Size() const { return size_; }

    // Replaces `path` with the bytes, written in chunks of kChunkSize and the remainder. False
    // when the file cannot be created or a write fails (the partial file is then removed).
    // `chunks`, when given, receives the number of writes made.
    bool WriteTo(const std::wstring& path, int* chunks = nullptr) const;
    // Copies the bytes to a new temporary file and extracts it into a new temporary directory,
    // with the 7z engine or (use7z false) as a cabinet. On success `directory` names the
    // directory and the copy is deleted.
    bool ExtractTo(std::wstring& directory, bool use7z);

  private:
    const BYTE* data_ = nullptr;
    int size_ = 0;
};

namespace config {

// Extracts the cabinet at `cabinetPath` into `outDirectory`. Entries whose names contain ".."
// or would land outside the directory are skipped.
bool ExtractCabinet(const std::wstring& cabinetPath, const std::wstring& outDirectory);

}  // namespace config
