#include "platform/ResourceStream.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace orvant {

namespace {

struct Resource {
    std::string type;  // upper case
    std::string name;  // upper case; empty for a numbered resource
    int32_t id;        // -1 for a named resource
    const void* data;
    size_t size;
};

std::string UpperAscii(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return s;
}

// The modules seen so far (by the base address of their image) with the
// handles given to them, and the resources each one registered.
struct ResourceTable {
    std::mutex lock;
    std::map<uintptr_t, uint32_t> handles;
    std::map<uint32_t, std::vector<Resource>> resources;
    uint32_t nextHandle = 1;

    uint32_t HandleForBase(uintptr_t base) {
        auto it = handles.find(base);
        if (it != handles.end()) return it->second;
        const uint32_t h = nextHandle++;
        handles.emplace(base, h);
        return h;
    }
};

ResourceTable& Table() {
    static ResourceTable table;
    return table;
}

uintptr_t ModuleBase(const void* address) {
    Dl_info info{};
    if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fbase == nullptr) return 0;
    return reinterpret_cast<uintptr_t>(info.dli_fbase);
}

// An address inside the executable's image: the start of its first loadable
// segment. The first object dl_iterate_phdr reports is always the program.
const void* ProgramImageAddress() {
    const void* result = nullptr;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* out) -> int {
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                if (info->dlpi_phdr[i].p_type == PT_LOAD) {
                    *static_cast<const void**>(out) =
                        reinterpret_cast<const void*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
                    break;
                }
            }
            return 1;  // only the first object
        },
        &result);
    return result;
}

std::string DisplayName(const std::string& name, int32_t id) {
    return id >= 0 ? "#" + std::to_string(id) : name;
}

// A name "#123" stands for the number 123.
bool NameIsNumber(const std::string& name, int32_t& id) {
    if (name.size() < 2 || name.size() > 11 || name[0] != '#') return false;
    int64_t v = 0;
    for (size_t i = 1; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
        v = v * 10 + (name[i] - '0');
    }
    if (v > INT32_MAX) return false;
    id = int32_t(v);
    return true;
}

}  // namespace

uint32_t FindHInstance(const void* address) {
    const uintptr_t base = ModuleBase(address);
    if (base == 0) return 0;
    ResourceTable& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    return t.HandleForBase(base);
}

uint32_t HInstance() {
    static const uint32_t handle = FindHInstance(ProgramImageAddress());
    return handle;
}

TResourceRegistration::TResourceRegistration(const char* type, const char* name, int32_t id, const void* data,
                                             size_t size)
    : fInstance(FindHInstance(data)), fData(data) {
    Resource r{UpperAscii(type ? type : ""), "", -1, data, size};
    if (name != nullptr && *name != '\0' && !NameIsNumber(name, r.id))
        r.name = UpperAscii(name);
    else if (name == nullptr || *name == '\0')
        r.id = id;
    ResourceTable& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    t.resources[fInstance].push_back(std::move(r));
}

TResourceRegistration::~TResourceRegistration() {
    ResourceTable& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.resources.find(fInstance);
    if (it == t.resources.end()) return;
    auto& list = it->second;
    list.erase(std::remove_if(list.begin(), list.end(), [this](const Resource& r) { return r.data == fData; }),
               list.end());
}

namespace {

bool Lookup(uint32_t instance, const std::string& type, const std::string& name, int32_t id, Resource& out) {
    const std::string utype = UpperAscii(type);
    const std::string uname = UpperAscii(name);
    ResourceTable& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.resources.find(instance);
    if (it == t.resources.end()) return false;
    for (const Resource& r : it->second) {
        if (r.type != utype) continue;
        if (id >= 0 ? r.id == id : (r.id < 0 && r.name == uname)) {
            out = r;
            return true;
        }
    }
    return false;
}

}  // namespace

TResourceStream::TResourceStream(uint32_t instance, const std::string& resName, const std::string& resType) {
    int32_t id = -1;
    Resource r;
    if (!Lookup(instance, resType, resName, NameIsNumber(resName, id) ? id : -1, r))
        throw EResNotFound("Ressource " + resName + " nicht gefunden");
    fMemory = static_cast<const uint8_t*>(r.data);
    fSize = r.size;
}

TResourceStream::TResourceStream(uint32_t instance, int32_t resID, const std::string& resType) {
    Resource r;
    if (resID < 0 || !Lookup(instance, resType, "", resID, r))
        throw EResNotFound("Ressource " + DisplayName("", resID) + " nicht gefunden");
    fMemory = static_cast<const uint8_t*>(r.data);
    fSize = r.size;
}

int32_t TResourceStream::Read(void* buffer, int32_t count) {
    if (count <= 0 || fPosition >= int64_t(fSize)) return 0;
    const int64_t n = std::min<int64_t>(count, int64_t(fSize) - fPosition);
    std::memcpy(buffer, fMemory + fPosition, size_t(n));
    fPosition += n;
    return int32_t(n);
}

int32_t TResourceStream::Write(const void*, int32_t) { return -1; }

int64_t TResourceStream::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t p = offset;
    if (origin == TSeekOrigin::soCurrent)
        p += fPosition;
    else if (origin == TSeekOrigin::soEnd)
        p += int64_t(fSize);
    if (p < 0) return -1;
    fPosition = p;
    return fPosition;
}

void TResourceStream::SetSize(int64_t) { throw EStreamError("Eine Ressource kann nicht verändert werden"); }

}  // namespace orvant
