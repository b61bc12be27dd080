#include "app/command_parser.h"

#include <windows.h>
#include <shellapi.h>

#include "base/strings.h"
#include "product/product_info.h"
#include "sysinfo/silence_token.h"

int CCommandParser::Parse(const std::wstring& commandLine) {
    commandLine_ = commandLine;
    isKestiWallpaper_ = IsKestiWallpaper();
    options_.clear();

    // CommandLineToArgvW treats an empty text as "the program's own path": nothing to parse.
    if (base::Trim(commandLine).empty())
        return 1;
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(commandLine.c_str(), &count);
    if (!args)
        return 0;
    for (int i = 0; i < count; ++i) {
        std::wstring argument = args[i];
        std::wstring key, value;
        size_t equals = argument.find(L'=');
        if (equals == std::wstring::npos) {
            key = base::Trim(argument);
        } else {
            key = base::Trim(std::wstring_view(argument).substr(0, equals));
            value = base::Trim(std::wstring_view(argument).substr(equals + 1));
            if (!value.empty() && value.front() == L'"')
                value.erase(0, 1);
            if (!value.empty() && value.back() == L'"')
                value.pop_back();
        }
        options_[base::ToUpper(key)] = value;
    }
    LocalFree(args);
    return 1;
}

bool CCommandParser::HasOption(const std::wstring& key) const {
    return options_.count(base::ToUpper(key)) != 0;
}

bool CCommandParser::GetOption(const std::wstring& key, std::wstring& value) const {
    auto found = options_.find(base::ToUpper(key));
    if (found == options_.end())
        return false;
    value = found->second;
    return true;
}

std::wstring CCommandParser::MakeSilenceToken(const std::wstring& mid) {
    return ::MakeSilenceToken(mid);
}

bool CCommandParser::CheckSilenceToken(const std::wstring& token, const std::wstring& mid) {
    return ::CheckSilenceToken(token, mid);
}

CCommandParser& CommandLine() {
    return *CSingletonT<CCommandParser>::Instance();
}
