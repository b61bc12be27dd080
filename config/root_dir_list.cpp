// The install-root list.
#include "config/root_dir_list.h"

#include <cwchar>

#include "app/log.h"
#include "base/path.h"
#include "base/strings.h"
#include "config/resource_unpack.h"
#include "config/xml_archive.h"

bool CUninstallRootDirList::LoadFromResource(HMODULE module, int resourceId,
                                             const wchar_t* resourceType) {
    CResourceUnpack resource;
    if (!resource.Init(module, resourceId, resourceType))
        return false;
    std::wstring file = path::FreeTempName(path::TempDir());
    if (file.empty())
        return false;
    bool ok = resource.WriteTo(file) && LoadFromFile(file.c_str());
    DeleteFileW(file.c_str());
    resource.Reset();
    return ok;
}

bool CUninstallRootDirList::LoadFromFile(const wchar_t* path) {
    // A missing file would open as an empty document and read as an empty list, which looks
    // like success; the caller must learn that there was nothing to read.
    if (!path || !path::FileExists(path))
        return false;
    CXMLArchive archive;
    if (FAILED(archive.Open(path, false, L"version='1.0' encoding='utf-16'")) ||
        !archive.HasDocument()) {
        Log(L"cannot parse the install-root list [%s]", path);
        return false;
    }
    entries_.clear();
    struct Section {
        const wchar_t* path;
        int isDirectory;
    };
    static const Section kSections[] = {{L"RootDirFiles/Dir", 1}, {L"RootDirFiles/File", 0}};
    for (const Section& section : kSections) {
        CXMLArchiveItemList items = archive.SelectFirst(section.path).Children(L"Item");
        for (int i = 0; i < items.Count(); ++i) {
            CXMLArchiveItem item = items.Item(i);
            Entry entry;
            item.GetText(L"Name", entry.name, L"");
            item.GetInt(L"optional", entry.optional, 0);
            entry.isDirectory = section.isDirectory;
            // A name that cannot be a directory entry's (a record holds 259 characters) would
            // only be cut into some other name.
            if (entry.name.size() >= ARRAYSIZE(RootDirItem{}.name)) {
                Log(L"install-root list item too long, skipped");
                continue;
            }
            entries_[base::ToUpper(entry.name)] = std::move(entry);
        }
    }
    return true;
}

int CUninstallRootDirList::GetCount() const {
    return static_cast<int>(entries_.size());
}

bool CUninstallRootDirList::GetItem(int index, RootDirItem* record) const {
    if (!record || index < 0 || index >= GetCount())
        return false;
    auto it = entries_.begin();
    std::advance(it, index);
    wcscpy_s(record->name, ARRAYSIZE(record->name), it->second.name.c_str());
    record->isDirectory = it->second.isDirectory;
    record->optional = it->second.optional;
    return true;
}

bool CUninstallRootDirList::Remove(const wchar_t* name) {
    if (name)
        entries_.erase(base::ToUpper(name));
    return true;
}

bool CUninstallRootDirList::Contains(const wchar_t* name) const {
    return name && entries_.count(base::ToUpper(name)) != 0;
}
