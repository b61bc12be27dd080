// The MSXML object model used for the setup project and the install-root list.
#include "config/xml_archive.h"

#include <oleauto.h>

#include <cwchar>
#include <new>

#include "base/path.h"
#include "base/strings.h"

const CLSID kClsidDomDocument = {
    0x2933BF90, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

namespace {

// A BSTR owned for the length of one call. Out-of-memory raises std::bad_alloc, the program's
// one exception for that case.
class Bstr {
  public:
    explicit Bstr(const wchar_t* text) : value_(SysAllocString(text ? text : L"")) {
        if (!value_)
            throw std::bad_alloc();
    }
    ~Bstr() { SysFreeString(value_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR Get() const { return value_; }

  private:
    BSTR value_;
};

class Variant {
  public:
    Variant() { VariantInit(&value_); }
    ~Variant() { VariantClear(&value_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    VARIANT* Put() {
        VariantClear(&value_);
        return &value_;
    }
    const VARIANT& Get() const { return value_; }

  private:
    VARIANT value_;
};

}  // namespace

namespace config {

int ParseInt(std::wstring_view text, int fallback) {
    if (text.empty())
        return fallback;
    size_t start = text.find_first_not_of(L" \t");
    std::wstring rest(start == std::wstring_view::npos ? std::wstring_view() : text.substr(start));
    if (rest.size() >= 3 && rest.size() <= 10 && rest[0] == L'0' &&
        (rest[1] == L'x' || rest[1] == L'X'))
        return static_cast<int>(wcstoul(rest.c_str() + 2, nullptr, 16));
    return static_cast<int>(wcstol(rest.c_str(), nullptr, 10));
}

HKEY RootKeyFromName(std::wstring_view name) {
    struct RootName {
        const wchar_t* name;
        HKEY key;
    };
    static const RootName kRoots[] = {
        {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
        {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
        {L"HKEY_USERS", HKEY_USERS},
        {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
        {L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
    };
    std::wstring upper = base::ToUpper(name);
    for (const RootName& root : kRoots) {
        if (upper == root.name)
            return root.key;
    }
    return HKEY_LOCAL_MACHINE;
}

int MessageFromName(std::wstring_view name) {
    if (name == L"WM_QUIT")
        return WM_QUIT;
    if (name == L"WM_COMMAND")
        return WM_COMMAND;
    return WM_CLOSE;
}

}  // namespace config

// ---- CXMLArchiveItem

CXMLArchiveItem::CXMLArchiveItem(base::ComPtr<IXMLDOMElement> element)
    : element_(std::move(element)) {
    if (element_)
        element_->QueryInterface(IID_IXMLDOMNode, node_.PutVoid());
}

bool CXMLArchiveItem::GetText(const wchar_t* attribute, std::wstring& text,
                              const wchar_t* fallback) const {
    text = fallback ? fallback : L"";
    if (!element_ || !attribute)
        return false;
    Bstr name(attribute);
    Variant value;
    if (element_->getAttribute(name.Get(), value.Put()) != S_OK || value.Get().vt != VT_BSTR)
        return false;
    text = value.Get().bstrVal ? value.Get().bstrVal : L"";
    return true;
}

bool CXMLArchiveItem::GetInt(const wchar_t* attribute, int& value, int fallback) const {
    std::wstring text;
    bool present = GetText(attribute, text, L"");
    value = present ? config::ParseInt(text, fallback) : fallback;
    return present;
}

CXMLArchiveItemList CXMLArchiveItem::Children(const wchar_t* tag) const {
    if (!node_ || !tag)
        return {};
    Bstr pattern(tag);
    base::ComPtr<IXMLDOMNodeList> list;
    if (node_->selectNodes(pattern.Get(), list.Put()) != S_OK)
        return {};
    return CXMLArchiveItemList(std::move(list));
}

// ---- CXMLArchiveItemList

CXMLArchiveItemList::CXMLArchiveItemList(base::ComPtr<IXMLDOMNodeList> list)
    : list_(std::move(list)) {
    long length = 0;
    if (list_ && list_->get_length(&length) == S_OK && length > 0)
        count_ = static_cast<int>(length);
}

CXMLArchiveItem CXMLArchiveItemList::Item(int index) const {
    if (!list_ || index < 0 || index >= count_)
        return {};
    base::ComPtr<IXMLDOMNode> node;
    if (list_->get_item(index, node.Put()) != S_OK || !node)
        return {};
    base::ComPtr<IXMLDOMElement> element;
    if (FAILED(node->QueryInterface(IID_IXMLDOMElement, element.PutVoid())))
        return {};
    return CXMLArchiveItem(std::move(element));
}

// ---- CXMLArchive

HRESULT CXMLArchive::Open(const std::wstring& path, bool createNew,
                          const wchar_t* processingInstruction) {
    document_.Reset();
    path_ = path;
    processingInstruction_ = processingInstruction ? processingInstruction : L"";
    created_ = createNew;

    base::ComPtr<IUnknown> unknown;
    HRESULT hr =
        CoCreateInstance(kClsidDomDocument, nullptr, CLSCTX_ALL, IID_IUnknown, unknown.PutVoid());
    if (FAILED(hr))
        return hr;
    hr = OleRun(unknown.Get());
    if (FAILED(hr))
        return hr;
    base::ComPtr<IXMLDOMDocument> document;
    hr = unknown->QueryInterface(IID_IXMLDOMDocument, document.PutVoid());
    if (FAILED(hr))
        return hr;
    document->put_preserveWhiteSpace(VARIANT_TRUE);
    document->put_async(VARIANT_FALSE);
    // The documents are self-contained: a DTD that names outside entities must not make the
    // parser fetch files or URLs, and nothing here is validated against a schema.
    document->put_resolveExternals(VARIANT_FALSE);
    document->put_validateOnParse(VARIANT_FALSE);

    if (createNew) {
        Bstr target(L"xml");
        Bstr data(processingInstruction_.c_str());
        base::ComPtr<IXMLDOMProcessingInstruction> instruction;
        hr = document->createProcessingInstruction(target.Get(), data.Get(), instruction.Put());
        if (FAILED(hr))
            return hr;
        base::ComPtr<IXMLDOMNode> added;
        hr = document->appendChild(instruction.Get(), added.Put());
        if (FAILED(hr))
            return hr;
    } else if (path::FileExists(path)) {
        Bstr file(path.c_str());
        VARIANT source;
        VariantInit(&source);
        source.vt = VT_BSTR;
        source.bstrVal = file.Get();  // still owned by `file`
        VARIANT_BOOL loaded = VARIANT_FALSE;
        hr = document->load(source, &loaded);
        if (FAILED(hr) || loaded != VARIANT_TRUE)
            return E_FAIL;
    }
    document_ = std::move(document);
    return S_OK;
}

CXMLArchiveItemList CXMLArchive::Select(const wchar_t* path) const {
    if (!document_ || !path)
        return {};
    Bstr name(path);
    base::ComPtr<IXMLDOMNodeList> list;
    if (document_->getElementsByTagName(name.Get(), list.Put()) != S_OK)
        return {};
    return CXMLArchiveItemList(std::move(list));
}

CXMLArchiveItem CXMLArchive::SelectFirst(const wchar_t* path) const {
    return Select(path).Item(0);
}
