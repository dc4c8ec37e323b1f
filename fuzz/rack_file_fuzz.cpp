// The rack file is typed by a person: any bytes are refused with a line, or give a rack of
// 1 to 16 slots, each with its port.
#include "rack/rack_file.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto r = tolvek::ParseRackFile(std::string(reinterpret_cast<const char*>(data), size));
    if (!r.Rack && r.Error.empty())
        __builtin_trap();
    if (r.Rack) {
        if (r.Rack->Slots.empty() || r.Rack->Slots.size() > tolvek::kMaxRackSlots)
            __builtin_trap();
        for (const auto& slot : r.Rack->Slots)
            if (slot.Interface.empty() || slot.Interface.size() > 15)
                __builtin_trap();
    }
    return 0;
}
