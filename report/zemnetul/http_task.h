// The binary interface between the program and the HTTP library ZemNetUL.dll. Both sides are
// built from this header; the positions of the virtual operations are the contract (the library
// is found and bound at run time, so a slot that moves breaks every caller silently). Append
// new operations only at the end, never reorder, and never add a virtual destructor.
#pragma once

#include <stdint.h>

// Method codes of IHttpTask::Start.
enum HttpMethod : int {
    kHttpGet = 0,
    kHttpPost = 2,
};

// Status codes carried by HttpTaskEvent. 0 and 1 are progress notes every caller may ignore;
// 2 and 3 are final and arrive exactly once per started task.
enum HttpTaskStatus : int {
    kHttpTaskConnected = 0,
    kHttpTaskReceiving = 1,
    kHttpTaskSucceeded = 2,
    kHttpTaskFailed = 3,
};

// What the library reports with each notification. The body is valid only during the call.
struct HttpTaskEvent {
    int id;            // the task's identity (IHttpTask::Id)
    int status;        // HttpTaskStatus
    int httpStatus;    // the server's status code, 0 when none arrived
    const char* body;  // the reply body (final events), zero-terminated; never null
    uint32_t bodyLength;
};

class IHttpTask;

// Implemented by the program. The library calls Notify on a thread of its own.
class IHttpTaskCallback {
  public:
    virtual void Notify(IHttpTask* task, const HttpTaskEvent* event) = 0;  // slot 0

  protected:
    ~IHttpTaskCallback() = default;
};

// One request. Created by IHttpTaskFactory::CreateTask and ended by Release, which may be called
// while the request is in flight: the library then drops the callback and the reply.
// A caller must not hold a lock that its Notify takes while it calls SetCallback or Release:
// detaching waits for a notification that is running on the library's thread.
class IHttpTask {
  public:
    // Slot 0. A null callback detaches: once the call returns, no notification of this task is
    // running or will start.
    virtual void SetCallback(IHttpTaskCallback* callback) = 0;
    // Slot 1. Starts the request on a thread of the library's; non-zero when started. A task
    // starts at most once.
    virtual int Start(int method, const wchar_t* url) = 0;
    // Slot 2. Stops a request in flight; its final event is a failure.
    virtual void Cancel() = 0;
    // Slot 3. Ends the caller's hold on the task.
    virtual void Release() = 0;
    // Slot 4. Time allowed for the whole request in milliseconds, after which it fails; 0 keeps
    // the default of 60 s. Set before Start.
    virtual void SetTimeout(int milliseconds) = 0;
    // Slot 5. An extra request header, wide text (e.g. L"Referer").
    virtual int AddHeader(const wchar_t* name, const wchar_t* value) = 0;
    // Slot 6. A form field in 8-bit text, sent byte for byte (the caller picks the code page).
    virtual int AddFieldA(const char* name, const char* value) = 0;
    // Slot 7. A form field in wide text, sent as UTF-8.
    virtual int AddFieldW(const wchar_t* name, const wchar_t* value) = 0;
    // Slots 8 to 11: reserved, answer 0.
    virtual int Reserved8() = 0;
    virtual int Reserved9() = 0;
    virtual int Reserved10() = 0;
    virtual int Reserved11() = 0;
    // Slot 12. Options "ungzip" and "gzip": only 0 (no compression either way) is supported;
    // answers non-zero when the option was accepted.
    virtual int SetOption(const char* name, int value) = 0;
    // Slots 13 to 15: reserved, answer 0.
    virtual int Reserved13() = 0;
    virtual int Reserved14() = 0;
    virtual int Reserved15() = 0;
    // Slot 16. The identity every event of this task carries.
    virtual int Id() = 0;

  protected:
    ~IHttpTask() = default;
};

class IHttpTaskFactory {
  public:
    virtual IHttpTask* CreateTask() = 0;  // slot 0; null when out of resources

  protected:
    ~IHttpTaskFactory() = default;
};

// The library's exports (undecorated C names).
extern "C" {
typedef IHttpTaskFactory* (*HttpInitFn)();
typedef void (*HttpUninitFn)();
}
