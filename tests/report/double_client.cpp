#include "tests/report/double_client.h"

#include <winsock2.h>
#include <windows.h>
#include <winhttp.h>

#include <cJSON.h>

#include "base/strings.h"

namespace double_client {
namespace {

std::wstring Env(const wchar_t* name) {
    wchar_t buffer[1024];
    DWORD n = GetEnvironmentVariableW(name, buffer, ARRAYSIZE(buffer));
    return n > 0 && n < ARRAYSIZE(buffer) ? std::wstring(buffer, n) : std::wstring();
}

std::string ReadFileText(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return {};
    std::string text;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        text.append(buffer, read);
    CloseHandle(file);
    return text;
}

std::string StringMember(const cJSON* object, const char* name) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
    return cJSON_IsString(item) && item->valuestring ? item->valuestring : "";
}

Pairs PairsMember(const cJSON* object, const char* name) {
    Pairs pairs;
    const cJSON* list = cJSON_GetObjectItemCaseSensitive(object, name);
    const cJSON* pair = nullptr;
    cJSON_ArrayForEach(pair, list) {
        const cJSON* key = cJSON_GetArrayItem(pair, 0);
        const cJSON* value = cJSON_GetArrayItem(pair, 1);
        if (cJSON_IsString(key) && cJSON_IsString(value))
            pairs.emplace_back(key->valuestring, value->valuestring);
    }
    return pairs;
}

std::string Find(const Pairs& pairs, const std::string& name) {
    for (const auto& [key, value] : pairs) {
        if (key == name)
            return value;
    }
    return {};
}

// A GET to the double's control paths, with the values form-encoded.
bool Control(const std::wstring& pathAndQuery) {
    std::wstring host = HostAndPort();
    size_t colon = host.find(L':');
    if (colon == std::wstring::npos)
        return false;
    INTERNET_PORT port = static_cast<INTERNET_PORT>(_wtoi(host.c_str() + colon + 1));
    HINTERNET session = WinHttpOpen(L"double-client", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session)
        return false;
    WinHttpSetTimeouts(session, 5000, 5000, 5000, 5000);
    bool ok = false;
    HINTERNET connection = WinHttpConnect(session, L"127.0.0.1", port, 0);
    if (connection) {
        HINTERNET request = WinHttpOpenRequest(connection, L"GET", pathAndQuery.c_str(), nullptr,
                                               WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
        if (request) {
            DWORD code = 0, size = sizeof(code);
            ok = WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                    WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
                 WinHttpReceiveResponse(request, nullptr) &&
                 WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                     WINHTTP_HEADER_NAME_BY_INDEX, &code, &size,
                                     WINHTTP_NO_HEADER_INDEX) &&
                 code == 200;
            WinHttpCloseHandle(request);
        }
        WinHttpCloseHandle(connection);
    }
    WinHttpCloseHandle(session);
    return ok;
}

std::wstring Escape(const std::string& text) {
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    std::wstring out;
    for (unsigned char c : text) {
        if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '/' || c == '*') {
            out += static_cast<wchar_t>(c);
        } else {
            out += L'%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

}  // namespace

std::string RecordedRequest::Field(const std::string& name) const {
    return Find(form, name);
}

std::string RecordedRequest::QueryValue(const std::string& name) const {
    return Find(query, name);
}

std::wstring BaseUrl() {
    return Env(L"REPORT_DOUBLE_URL");
}

std::wstring HostAndPort() {
    std::wstring url = BaseUrl();
    const std::wstring scheme = L"http://";
    return url.rfind(scheme, 0) == 0 ? url.substr(scheme.size()) : std::wstring();
}

bool Available() {
    return !BaseUrl().empty() && !Env(L"REPORT_DOUBLE_LOG").empty();
}

bool SetMode(const std::string& path, const std::string& mode) {
    return Control(L"/control/mode?path=" + Escape(path) + L"&mode=" + Escape(mode));
}

bool Reset() {
    return Control(L"/control/reset");
}

std::vector<RecordedRequest> Requests() {
    std::vector<RecordedRequest> requests;
    std::string text = ReadFileText(Env(L"REPORT_DOUBLE_LOG"));
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            break;  // a line still being written
        std::string line = text.substr(start, end - start);
        start = end + 1;
        cJSON* entry = cJSON_Parse(line.c_str());
        if (!entry)
            continue;
        RecordedRequest request;
        request.method = StringMember(entry, "method");
        request.path = StringMember(entry, "path");
        request.host = StringMember(entry, "host");
        request.rawQuery = StringMember(entry, "raw_query");
        request.query = PairsMember(entry, "query");
        request.form = PairsMember(entry, "form");
        const cJSON* decoded = cJSON_GetObjectItemCaseSensitive(entry, "decoded");
        if (cJSON_IsString(decoded)) {
            request.hasDecoded = true;
            request.decoded = decoded->valuestring;
        }
        requests.push_back(std::move(request));
        cJSON_Delete(entry);
    }
    return requests;
}

std::vector<RecordedRequest> WaitForRequests(
    const std::function<bool(const RecordedRequest&)>& match, size_t count, unsigned timeoutMs) {
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        std::vector<RecordedRequest> found;
        for (auto& request : Requests()) {
            if (match(request))
                found.push_back(std::move(request));
        }
        if (found.size() >= count || GetTickCount64() >= deadline)
            return found;
        Sleep(50);
    }
}

std::vector<std::string> Keys(const Pairs& pairs) {
    std::vector<std::string> keys;
    for (const auto& pair : pairs)
        keys.push_back(pair.first);
    return keys;
}

std::wstring ClosedPortUrl() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return L"http://127.0.0.1:1/";
    int port = 1;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s != INVALID_SOCKET) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof(address);
        if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
            getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port = ntohs(address.sin_port);
        }
        closesocket(s);
    }
    WSACleanup();
    return base::Format(64, L"http://127.0.0.1:%d/", port);
}

}  // namespace double_client
