// A small object model over the MSXML DOM (class DOMDocument) for the setup project and the
// install-root list: a document, an element with attribute readers, and a list of elements.
// Callers initialise COM on their thread first.
#pragma once

#include <windows.h>
#include <msxml.h>

#include <string>
#include <string_view>

#include "base/com_ptr.h"

// DOMDocument, {2933BF90-7B36-11D2-B20E-00C04F983E60}. Defined here rather than taken from
// msxml2.h, which maps the name to a later class the import libraries do not define.
extern const CLSID kClsidDomDocument;

namespace config {

// The project's integer rule: leading blanks and tabs are skipped; 3 to 10 characters starting
// with "0x"/"0X" are hexadecimal; everything else is decimal as wcstol reads it (so non-numeric
// text is 0). Empty text keeps `fallback`.
int ParseInt(std::wstring_view text, int fallback);
// "HKEY_LOCAL_MACHINE" and the four other predefined root names, without regard to case; any
// other text gives HKEY_LOCAL_MACHINE.
HKEY RootKeyFromName(std::wstring_view name);
// "WM_CLOSE", "WM_QUIT", "WM_COMMAND", compared exactly; any other text gives WM_CLOSE.
int MessageFromName(std::wstring_view name);

}  // namespace config

class CXMLArchiveItem {
  public:
    CXMLArchiveItem() = default;
    explicit CXMLArchiveItem(base::ComPtr<IXMLDOMElement> element);
    virtual ~CXMLArchiveItem() = default;

    bool IsEmpty() const { return !element_; }
    // The attribute's text into `text`; `fallback` when the item is empty or the attribute is
    // missing. Answers whether the attribute was there.
    bool GetText(const wchar_t* attribute, std::wstring& text, const wchar_t* fallback) const;
    // The attribute read by config::ParseInt; `fallback` when missing or empty.
    bool GetInt(const wchar_t* attribute, int& value, int fallback) const;
    // The element children named `tag`, in document order.
    class CXMLArchiveItemList Children(const wchar_t* tag) const;

  private:
    base::ComPtr<IXMLDOMElement> element_;
    base::ComPtr<IXMLDOMNode> node_;
};

class CXMLArchiveItemList {
  public:
    CXMLArchiveItemList() = default;
    explicit CXMLArchiveItemList(base::ComPtr<IXMLDOMNodeList> list);
    virtual ~CXMLArchiveItemList() = default;

    int Count() const { return count_; }
    // An empty item for an index out of range or a node that is not an element.
    CXMLArchiveItem Item(int index) const;

  private:
    base::ComPtr<IXMLDOMNodeList> list_;
    int count_ = 0;
};

class CXMLArchive {
  public:
    CXMLArchive() = default;
    virtual ~CXMLArchive() = default;
    CXMLArchive(const CXMLArchive&) = delete;
    CXMLArchive& operator=(const CXMLArchive&) = delete;

    // Creates the document. With createNew it starts a new one with the processing instruction
    // "xml" `processingInstruction`; otherwise it loads `path` when it exists. A load that fails
    // gives E_FAIL and no document.
    HRESULT Open(const std::wstring& path, bool createNew,
                 const wchar_t* processingInstruction = L"version='1.0' encoding='utf-8'");
    bool HasDocument() const { return static_cast<bool>(document_); }
    // Elements whose slash-separated path from the root matches ("Setup/Main").
    CXMLArchiveItemList Select(const wchar_t* path) const;
    CXMLArchiveItem SelectFirst(const wchar_t* path) const;

  private:
    base::ComPtr<IXMLDOMDocument> document_;
    std::wstring path_;
    std::wstring processingInstruction_;
    bool created_ = false;
};
