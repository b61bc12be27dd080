// Stands in for the machine-bound token until the machine-identifier library is part of the
// build: no token is made and none is accepted.
#include <string>

std::wstring MakeSilenceToken(const std::wstring&) {
    return L"";
}
bool CheckSilenceToken(const std::wstring&, const std::wstring&) {
    return false;
}
