// The install-root list: the names of the directories and files directly inside the install
// directory that belong to the product. The uninstall engine asks it whether an entry it finds
// there may be removed; anything not named here (and not signed by the product) is left alone.
#pragma once

#include <windows.h>

#include <map>
#include <string>

// One entry, copied out by value.
struct RootDirItem {
    wchar_t name[260];  // as written in the list
    int isDirectory;    // 1 for the list's Dir section
    int optional;
};

// The operations keep this order; other modules hold the interface, never the class.
class IUninstallRootDirList {
  public:
    // Reads the list from an embedded resource holding the list file itself (not an archive).
    virtual bool LoadFromResource(HMODULE module, int resourceId, const wchar_t* resourceType) = 0;
    // Reads a list file (UTF-16 or UTF-8 XML, root RootDirFiles). Replaces what was loaded.
    virtual bool LoadFromFile(const wchar_t* path) = 0;
    virtual int GetCount() const = 0;
    // Entries in the order of their upper-cased names. False, with the record untouched, for a
    // null record or an index outside 0..count-1.
    virtual bool GetItem(int index, RootDirItem* record) const = 0;
    // Both compare without regard to case. Remove answers true also when the name was absent.
    virtual bool Remove(const wchar_t* name) = 0;
    virtual bool Contains(const wchar_t* name) const = 0;

  protected:
    ~IUninstallRootDirList() = default;
};

class CUninstallRootDirList : public IUninstallRootDirList {
  public:
    CUninstallRootDirList() = default;
    virtual ~CUninstallRootDirList() = default;
    CUninstallRootDirList(const CUninstallRootDirList&) = delete;
    CUninstallRootDirList& operator=(const CUninstallRootDirList&) = delete;

    bool LoadFromResource(HMODULE module, int resourceId, const wchar_t* resourceType) override;
    bool LoadFromFile(const wchar_t* path) override;
    int GetCount() const override;
    bool GetItem(int index, RootDirItem* record) const override;
    bool Remove(const wchar_t* name) override;
    bool Contains(const wchar_t* name) const override;

  private:
    struct Entry {
        std::wstring name;
        int isDirectory = 0;
        int optional = 0;
    };
    // Keyed by the upper-cased name, so names are unique without regard to case and a later
    // spelling replaces an earlier one.
    std::map<std::wstring, Entry> entries_;
};
