#include "platform/wavedev/DeviceRegistry.h"

#include <mutex>
#include <unordered_map>
#include <vector>

namespace orvant {

namespace {

// Both never destroyed: devices and backends may still be in use while the
// process exits and runs the static destructors.
std::mutex gDevicesLock;
std::unordered_map<DWORD_PTR, std::shared_ptr<TDevice>>& Devices() {
    static auto* m = new std::unordered_map<DWORD_PTR, std::shared_ptr<TDevice>>;
    return *m;
}

std::mutex gBackendLock;
std::shared_ptr<TWaveBackend>& BackendSlot() {
    static auto* b = new std::shared_ptr<TWaveBackend>;
    return *b;
}

}  // namespace

std::shared_ptr<TDevice> FindDevice(DWORD_PTR handle, TWaveDirection dir) {
    std::lock_guard<std::mutex> g(gDevicesLock);
    auto it = Devices().find(handle);
    if (it == Devices().end() || it->second->dir != dir) return nullptr;
    return it->second;
}

void AddDevice(std::shared_ptr<TDevice> dev) {
    std::lock_guard<std::mutex> g(gDevicesLock);
    const DWORD_PTR handle = dev->Handle();
    Devices()[handle] = std::move(dev);
}

void RemoveDevice(DWORD_PTR handle) {
    std::lock_guard<std::mutex> g(gDevicesLock);
    Devices().erase(handle);
}

int OpenWaveDeviceCount() {
    std::lock_guard<std::mutex> g(gDevicesLock);
    return static_cast<int>(Devices().size());
}

void SyncOpenWaveDevices() {
    std::vector<std::shared_ptr<TDevice>> open;
    {
        std::lock_guard<std::mutex> g(gDevicesLock);
        for (const auto& [handle, dev] : Devices()) open.push_back(dev);
    }
    for (const auto& dev : open) std::lock_guard<std::mutex> g(dev->lock);
}

TLockedDevice::TLockedDevice(DWORD_PTR handle, TWaveDirection dir) : fDev(FindDevice(handle, dir)) {
    if (!fDev) {
        r = MMSYSERR_INVALHANDLE;
        return;
    }
    fLock.emplace(fDev->lock);
    if (fDev->closing) r = MMSYSERR_INVALHANDLE;
}

std::shared_ptr<TWaveBackend> InstallWaveBackend(std::shared_ptr<TWaveBackend> backend) {
    std::lock_guard<std::mutex> g(gBackendLock);
    std::shared_ptr<TWaveBackend> prev = std::move(BackendSlot());
    BackendSlot() = std::move(backend);
    return prev;
}

std::shared_ptr<TWaveBackend> ActiveWaveBackend() {
    std::lock_guard<std::mutex> g(gBackendLock);
    if (!BackendSlot()) BackendSlot() = CreateWaveBackend("alsa");
    return BackendSlot();
}

}  // namespace orvant
