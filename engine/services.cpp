#include "engine/services.h"

#include <utility>

#include "app/log.h"
#include "base/handle.h"

namespace engine {

ServiceController::ServiceController(std::wstring name) : name_(std::move(name)) {}

bool ServiceController::Stop() {
    UnlockDriver();
    return SUCCEEDED(RequestStop());
}

bool ServiceController::Delete() {
    return SUCCEEDED(RequestDelete());
}

// The self-protection driver that guards the product's service is reached through a device named
// after the service. No such driver is part of this product's installs, so there is nothing to
// unlock: opening the device answers "not found" and the stop request simply follows. The probe
// stays so that a machine that does carry the device is at least logged.
void ServiceController::UnlockDriver() {
    std::wstring device = L"\\\\.\\" + name_;
    base::UniqueHandle handle(CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (handle)
        Log(L"self-protection device %s present, no unlock exchange known", device.c_str());
}

HRESULT ServiceController::RequestStop() {
    base::ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return E_POINTER;
    base::ServiceHandle service(OpenServiceW(manager.Get(), name_.c_str(), SERVICE_ALL_ACCESS));
    if (!service)
        return E_FAIL;
    SERVICE_STATUS status = {};
    if (!ControlService(service.Get(), SERVICE_CONTROL_STOP, &status))
        return E_FAIL;
    return S_OK;
}

HRESULT ServiceController::RequestDelete() {
    base::ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return E_POINTER;
    base::ServiceHandle service(OpenServiceW(manager.Get(), name_.c_str(), SERVICE_ALL_ACCESS));
    if (!service)
        return E_FAIL;
    if (!::DeleteService(service.Get()))
        return E_FAIL;
    return S_OK;
}

bool StopAndDeleteService(const wchar_t* name) {
    ServiceController controller(name ? name : L"");
    controller.Stop();
    return controller.Delete();
}

}  // namespace engine
