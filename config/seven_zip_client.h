// The streams and callbacks that the 7z engine calls. COM-style objects: reference counted,
// created with new and freed by their last Release.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <7zip/Archive/IArchive.h>

#include <string>
#include <vector>

#include "base/com_ptr.h"
#include "base/handle.h"
#include "config/seven_zip.h"

namespace config {

// A read-only stream over a file handle, closed on the last release.
class CInFileStream final : public IInStream, public IStreamGetSize {
  public:
    explicit CInFileStream(HANDLE file) : file_(file) {}
    // Opens `path` for reading (others may read too); null when it cannot.
    static CInFileStream* Open(const std::wstring& path);

    STDMETHOD(QueryInterface)(REFIID iid, void** out) override;
    STDMETHOD_(ULONG, AddRef)() override;
    STDMETHOD_(ULONG, Release)() override;
    Z7_IFACE_COM7_IMP(ISequentialInStream)
    Z7_IFACE_COM7_IMP(IInStream)
    Z7_IFACE_COM7_IMP(IStreamGetSize)

  private:
    ~CInFileStream() = default;
    LONG refs_ = 1;
    base::UniqueHandle file_;
};

// A write stream over a created file, closed on the last release or by Close.
class COutFileStream final : public IOutStream {
  public:
    explicit COutFileStream(HANDLE file) : file_(file) {}

    HANDLE Handle() const { return file_.Get(); }
    void Close() { file_.Reset(); }

    STDMETHOD(QueryInterface)(REFIID iid, void** out) override;
    STDMETHOD_(ULONG, AddRef)() override;
    STDMETHOD_(ULONG, Release)() override;
    Z7_IFACE_COM7_IMP(ISequentialOutStream)
    Z7_IFACE_COM7_IMP(IOutStream)

  private:
    ~COutFileStream() = default;
    LONG refs_ = 1;
    base::UniqueHandle file_;
};

// A read-only stream over memory the caller keeps alive, for extracting from a buffer.
class CInBufferStream final : public IInStream, public IStreamGetSize {
  public:
    CInBufferStream(const void* data, size_t size)
        : data_(static_cast<const BYTE*>(data)), size_(size) {}

    STDMETHOD(QueryInterface)(REFIID iid, void** out) override;
    STDMETHOD_(ULONG, AddRef)() override;
    STDMETHOD_(ULONG, Release)() override;
    Z7_IFACE_COM7_IMP(ISequentialInStream)
    Z7_IFACE_COM7_IMP(IInStream)
    Z7_IFACE_COM7_IMP(IStreamGetSize)

  private:
    ~CInBufferStream() = default;
    LONG refs_ = 1;
    const BYTE* data_;
    size_t size_;
    UInt64 position_ = 0;
};

// Accepts the engine's progress while an archive opens; offers no password.
class CArchiveOpenCallback final : public IArchiveOpenCallback {
  public:
    STDMETHOD(QueryInterface)(REFIID iid, void** out) override;
    STDMETHOD_(ULONG, AddRef)() override;
    STDMETHOD_(ULONG, Release)() override;
    Z7_IFACE_COM7_IMP(IArchiveOpenCallback)

  private:
    ~CArchiveOpenCallback() = default;
    LONG refs_ = 1;
};

// Writes each item of `archive` below `outDirectory`.
class CArchiveExtractCallback final : public IArchiveExtractCallback {
  public:
    CArchiveExtractCallback(IInArchive* archive, const std::wstring& outDirectory,
                            IExtractObserver* observer);

    // True when some item failed (could not be written, or the engine reported it damaged).
    bool Failed() const { return failed_; }
    // Items left out because their names would leave the output directory.
    int SkippedCount() const { return skipped_; }

    STDMETHOD(QueryInterface)(REFIID iid, void** out) override;
    STDMETHOD_(ULONG, AddRef)() override;
    STDMETHOD_(ULONG, Release)() override;
    Z7_IFACE_COM7_IMP(IProgress)
    Z7_IFACE_COM7_IMP(IArchiveExtractCallback)

  private:
    ~CArchiveExtractCallback();
    void FinishItem(bool good);

    LONG refs_ = 1;
    IInArchive* archive_;  // kept alive by Extract7z for the whole extraction
    std::wstring outDirectory_;
    IExtractObserver* observer_;
    // The item in progress.
    std::wstring itemPath_;
    bool itemIsDir_ = false;
    bool itemHasTime_ = false;
    FILETIME itemTime_ = {};
    bool itemHasAttrib_ = false;
    UInt32 itemAttrib_ = 0;
    COutFileStream* outFile_ = nullptr;  // owns one reference
    bool failed_ = false;
    int skipped_ = 0;
};

}  // namespace config
