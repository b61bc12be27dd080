// Lists the running processes as "pid<TAB>parent pid<TAB>image path" lines in UTF-8, for the
// end-to-end tests to see what runs inside a prefix (or on a real machine).
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>

#include "base/handle.h"
#include "base/strings.h"

int wmain() {
    base::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return 1;
    PROCESSENTRY32W entry = {sizeof(entry)};
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more;
         more = Process32NextW(snapshot.Get(), &entry)) {
        std::wstring image = entry.szExeFile;
        base::UniqueHandle process(
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        if (process) {
            wchar_t buffer[1024] = {};
            DWORD size = 1024;
            if (QueryFullProcessImageNameW(process.Get(), 0, buffer, &size))
                image.assign(buffer, size);
        }
        std::printf("%lu\t%lu\t%s\n", static_cast<unsigned long>(entry.th32ProcessID),
                    static_cast<unsigned long>(entry.th32ParentProcessID),
                    base::ToUtf8(image).c_str());
    }
    return 0;
}
