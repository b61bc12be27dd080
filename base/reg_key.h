// A registry key owner with the few reads and writes the program makes.
#pragma once

#include <windows.h>

#include <string>

namespace base {

// Which registry view a 32-bit process opens on 64-bit Windows. kDefault leaves the system's
// redirection in place (HKLM\SOFTWARE of a 32-bit process lands in WOW6432Node).
enum class RegView { kDefault = 0, k32 = KEY_WOW64_32KEY, k64 = KEY_WOW64_64KEY };

class RegKey {
  public:
    RegKey() = default;
    ~RegKey() { Close(); }
    RegKey(RegKey&& other) noexcept : key_(other.key_) { other.key_ = nullptr; }
    RegKey& operator=(RegKey&& other) noexcept;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;

    // Both answer false and leave GetLastError set to the registry's error code on failure.
    bool Open(HKEY root, const wchar_t* subKey, REGSAM access, RegView view = RegView::kDefault);
    bool Create(HKEY root, const wchar_t* subKey, REGSAM access, RegView view = RegView::kDefault);
    void Close();
    HKEY Get() const { return key_; }
    bool IsOpen() const { return key_ != nullptr; }

    // Reads a REG_SZ (or REG_EXPAND_SZ, unexpanded) value that fits in maxChars characters,
    // terminator included. A value of another type, or one that does not fit, counts as absent.
    bool QueryString(const wchar_t* name, std::wstring& value, size_t maxChars = MAX_PATH) const;
    // The same, but only a text whose stored data ends with its terminator: for values written by
    // other programs whose text becomes part of a path or an identifier, where an unterminated
    // value is not to be guessed at.
    bool QueryTerminatedString(const wchar_t* name, std::wstring& value,
                               size_t maxChars = MAX_PATH) const;
    bool QueryDword(const wchar_t* name, DWORD& value) const;
    // Writes REG_SZ; the stored size is the character count times 2 plus the terminator unless
    // withTerminator is false.
    bool SetString(const wchar_t* name, const std::wstring& value, bool withTerminator = true);
    bool SetDword(const wchar_t* name, DWORD value);
    bool DeleteValue(const wchar_t* name);

  private:
    bool QueryText(const wchar_t* name, std::wstring& value, size_t maxChars,
                   bool requireTerminator) const;
    HKEY key_ = nullptr;
};

// One-call forms for a single value.
bool ReadRegString(HKEY root, const wchar_t* subKey, const wchar_t* name, std::wstring& value,
                   RegView view = RegView::kDefault, size_t maxChars = MAX_PATH);

}  // namespace base
