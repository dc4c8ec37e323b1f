// The rack file: which slots a rack has and how each is tested. Written by a person, so a
// mistake is refused with its line number before any window opens.
//
//   [Rack]                      ; optional, the window's own choices
//   AutoStart=True              ; "start when a unit is plugged in" ticked at the start
//   Label=False                 ; print a label per passed unit
//   MaxTime=600                 ; each run's bound in seconds (0 for none)
//   [Гнездо 1]                  ; any other section is a slot, named by its header
//   Interface=slot1             ; required: the slot's network port
//   Address=192.168.1.178       ; the unit's address (this is the default)
//   SetClock=True  Ethernet=True  Tamper=False  Vac=False   ; one a line
#pragma once

#include "core/run_record.h"

#include <optional>
#include <string>
#include <vector>

namespace tolvek {

struct TRackSlot
{
    std::string Name;
    std::string Interface;
    TRunOptions Options; // Address defaults to the units' factory address
};

struct TRackFile
{
    bool AutoStart = true;
    bool Label = false;
    int MaxSeconds = 600;
    std::vector<TRackSlot> Slots; // in the file's order, 1 to kMaxRackSlots
};

constexpr size_t kMaxRackSlots = 16;
// A rack file is a few hundred bytes; anything past this is not one.
constexpr size_t kMaxRackFileBytes = 64 * 1024;
constexpr const char* kFactoryAddress = "192.168.1.178";

struct TRackFileResult
{
    std::optional<TRackFile> Rack;
    std::string Error; // "line N: reason" (or the reason alone for the file as a whole)
};

TRackFileResult ParseRackFile(const std::string& text);

} // namespace tolvek
