// Resources compiled into a module (the executable or a shared library) and a
// read-only stream over one of them.
//
// The build turns resource files into generated C++ (see
// cmake/OrvantResources.cmake, orvant_add_wave_resources); each generated
// resource registers itself at static-initialisation time in the table of the
// module that contains it. A module is identified by a small number, its
// instance handle: HInstance() is the program's own module, FindHInstance()
// the module that holds a given address. Resources are found by type and by
// name (compared without regard to ASCII case) or by number; a name of the
// form "#123" means the number 123.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Streams.h"
#include "platform/SysUtils.h"

namespace orvant {

// A resource that the module does not hold; the message names it.
class EResNotFound : public Exception {
    using Exception::Exception;
};

// Instance handle of the program's own module (the executable).
uint32_t HInstance();

// Instance handle of the module whose image contains address; 0 when no
// loaded module does.
uint32_t FindHInstance(const void* address);

// One resource entry made by the generated code. The constructor enters it
// in the table of the module containing `data`, the destructor removes it
// (so a shared library that is unloaded takes its resources with it).
// A resource has either a name (id < 0) or a number (name empty or null).
class TResourceRegistration {
public:
    TResourceRegistration(const char* type, const char* name, int32_t id, const void* data, size_t size);
    ~TResourceRegistration();
    TResourceRegistration(const TResourceRegistration&) = delete;
    TResourceRegistration& operator=(const TResourceRegistration&) = delete;

private:
    uint32_t fInstance;
    const void* fData;
};

// Read-only stream over the bytes of one resource. Reading, seeking and the
// size behave as for a memory stream; Write returns -1 and SetSize raises
// EStreamError, as the bytes live in the module image.
class TResourceStream : public TStream {
public:
    // Raise EResNotFound when the module holds no resource of that type with
    // that name or number.
    TResourceStream(uint32_t instance, const std::string& resName, const std::string& resType);
    TResourceStream(uint32_t instance, int32_t resID, const std::string& resType);

    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return int64_t(fSize); }
    void SetSize(int64_t newSize) override;

    const void* Memory() const { return fMemory; }

private:
    const uint8_t* fMemory = nullptr;
    size_t fSize = 0;
    int64_t fPosition = 0;
};

}  // namespace orvant
