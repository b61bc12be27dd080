// The product's Windows services: stop and delete through the Service Control Manager.
#pragma once

#include <windows.h>

#include <string>

namespace engine {

// Talks to one service by name. Holds no handles between calls: every operation opens the
// Service Control Manager and the service, does its one request and closes both.
class ServiceController {
  public:
    explicit ServiceController(std::wstring name);

    // Unlocks the product's self-protection driver for this service (when its device exists),
    // then sends SERVICE_CONTROL_STOP without waiting for the stopped state. True when the stop
    // request was accepted; false for a missing or already stopped service.
    bool Stop();
    // Marks the service for deletion; it goes once it has stopped and its handles are closed.
    bool Delete();

  private:
    // E_POINTER when the Service Control Manager cannot be opened, E_FAIL when the service
    // cannot be opened or the request fails, S_OK otherwise.
    HRESULT RequestStop();
    HRESULT RequestDelete();
    void UnlockDriver();

    std::wstring name_;
};

// Stop, then delete. Returns the result of the deletion.
bool StopAndDeleteService(const wchar_t* name);

}  // namespace engine
