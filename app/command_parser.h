// The process's command line as a map of options.
#pragma once

#include <map>
#include <string>

#include "base/singleton.h"

class CCommandParser {
  public:
    virtual ~CCommandParser() = default;

    // Stores the text, reads the product-name flag and rebuilds the options. Answers 0 only
    // when the text cannot be split into arguments.
    int Parse(const std::wstring& commandLine);
    bool HasOption(const std::wstring& key) const;
    // Assigns the option's value and answers true when present; leaves value alone otherwise.
    bool GetOption(const std::wstring& key, std::wstring& value) const;
    bool IsSilent() const { return HasOption(L"/S"); }
    bool IsKestiWallpaper() const { return isKestiWallpaper_; }
    const std::wstring& CommandLine() const { return commandLine_; }

    // The value of /CHK: proves that a silent second stage was started by the first stage on
    // this machine.
    static std::wstring MakeSilenceToken(const std::wstring& mid);
    static bool CheckSilenceToken(const std::wstring& token, const std::wstring& mid);

  private:
    std::wstring commandLine_;
    bool isKestiWallpaper_ = false;
    std::map<std::wstring, std::wstring> options_;
};

CCommandParser& CommandLine();
