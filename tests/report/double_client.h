// The tests' side of the service double (tests/double/service_double.py), which
// tests/double/run_with_double.py starts for each test program and names in the environment.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace double_client {

using Pairs = std::vector<std::pair<std::string, std::string>>;

struct RecordedRequest {
    std::string method;
    std::string path;
    std::string host;  // the Host header
    std::string rawQuery;
    Pairs query;
    Pairs form;
    bool hasDecoded = false;  // the report host's decrypted payload, when it could be decoded
    std::string decoded;

    std::string Field(const std::string& name) const;
    std::string QueryValue(const std::string& name) const;
};

// "http://127.0.0.1:<port>", empty when no double was started for this program.
std::wstring BaseUrl();
// "127.0.0.1:<port>".
std::wstring HostAndPort();
bool Available();

// Sets how the double answers a path ("*" for all); see the double's modes.
bool SetMode(const std::string& path, const std::string& mode);
bool Reset();

// Every request recorded so far, oldest first.
std::vector<RecordedRequest> Requests();
// Waits (at most timeoutMs) until `count` recorded requests satisfy `match`; returns those seen.
std::vector<RecordedRequest> WaitForRequests(
    const std::function<bool(const RecordedRequest&)>& match, size_t count, unsigned timeoutMs);

// The keys of a query or form, in order.
std::vector<std::string> Keys(const Pairs& pairs);

// A loopback URL on which nothing listens (a port just bound and released).
std::wstring ClosedPortUrl();

}  // namespace double_client
