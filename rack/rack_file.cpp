#include "rack/rack_file.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <set>

namespace tolvek {
namespace {

std::string Trim(const std::string& s)
{
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

std::string Lower(std::string s)
{
    std::ranges::transform(s, s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

bool IsUtf8(const std::string& s)
{
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const size_t n = c < 0x80         ? 1
                         : (c >> 5) == 6  ? 2
                         : (c >> 4) == 14 ? 3
                         : (c >> 3) == 30 ? 4
                                          : 0;
        if (n == 0 || (n == 2 && c < 0xC2) || i + n > s.size())
            return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += n;
    }
    return true;
}

bool HasControl(const std::string& s)
{
    return std::ranges::any_of(s, [](unsigned char c) { return c < 0x20 || c == 0x7F; });
}

// The kernel's port names: 1 to 15 bytes, no blank, slash or colon.
bool IsPortName(const std::string& s)
{
    return !s.empty() && s.size() <= 15 && s != "." && s != ".."
           && std::ranges::none_of(s, [](unsigned char c) {
                  return c <= ' ' || c == '/' || c == ':' || c >= 0x7F;
              });
}

// A numeric address or a host name; whether a name resolves is the run's business.
bool IsAddress(const std::string& s)
{
    unsigned char numeric[16];
    if (inet_pton(AF_INET, s.c_str(), numeric) == 1 || inet_pton(AF_INET6, s.c_str(), numeric) == 1)
        return true;
    return !s.empty() && s.size() <= 253 && s.find_first_not_of("0123456789.") != std::string::npos
           && s.front() != '-' && s.front() != '.'
           && s.find_first_not_of(
                      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-")
                      == std::string::npos;
}

std::optional<bool> Boolean(const std::string& v)
{
    const std::string l = Lower(v);
    if (l == "true")
        return true;
    if (l == "false")
        return false;
    return std::nullopt;
}

class TParser
{
public:
    TRackFileResult Parse(const std::string& text)
    {
        if (text.size() > kMaxRackFileBytes)
            return {std::nullopt, "the file is larger than 64 KiB: not a rack file"};
        size_t start = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
        for (int number = 1; start < text.size(); ++number) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos)
                end = text.size();
            std::string line = text.substr(start, end - start);
            start = end + 1;
            if (line.ends_with('\r'))
                line.pop_back();
            line_ = number;
            if (!IsUtf8(line))
                return Refuse("not UTF-8 text");
            if (!Line(Trim(line)))
                return {std::nullopt, error_};
        }
        if (!EndSection())
            return {std::nullopt, error_};
        if (rack_.Slots.empty())
            return {std::nullopt, "no slot: give each slot a section with its Interface="};
        return {rack_, {}};
    }

private:
    TRackFileResult Refuse(const std::string& reason)
    {
        Fail(reason);
        return {std::nullopt, error_};
    }

    bool Fail(const std::string& reason, int line = 0)
    {
        error_ = "line " + std::to_string(line ? line : line_) + ": " + reason;
        return false;
    }

    bool Line(const std::string& line)
    {
        if (line.empty() || line.front() == ';' || line.front() == '#')
            return true;
        if (HasControl(line))
            return Fail("a control character");
        if (line.front() == '[') {
            if (line.back() != ']')
                return Fail("a section header without \"]\"");
            return Section(Trim(line.substr(1, line.size() - 2)));
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            return Fail("neither [section] nor name=value: \"" + line + "\"");
        key_ = Trim(line.substr(0, eq));
        const std::string name = Lower(key_);
        const std::string value = Trim(line.substr(eq + 1));
        if (section_ == None)
            return Fail("\"" + key_ + "=\" before the first section");
        if (!seen_.insert(name).second)
            return Fail("\"" + key_ + "=\" given twice in this section");
        return section_ == Rack ? RackValue(name, value) : SlotValue(name, value);
    }

    bool Section(const std::string& name)
    {
        if (!EndSection())
            return false;
        seen_.clear();
        if (name.empty())
            return Fail("a section without a name");
        if (Lower(name) == "rack") {
            if (rackSeen_)
                return Fail("a second [Rack] section");
            rackSeen_ = true;
            section_ = Rack;
            return true;
        }
        if (name.size() > 40)
            return Fail("a slot name longer than 40 bytes");
        for (const TRackSlot& s : rack_.Slots)
            if (Lower(s.Name) == Lower(name))
                return Fail("a second slot named \"" + name + "\"");
        if (rack_.Slots.size() == kMaxRackSlots)
            return Fail("more than 16 slots");
        rack_.Slots.push_back({name, {}, {}});
        rack_.Slots.back().Options.Address = kFactoryAddress;
        section_ = Slot;
        sectionLine_ = line_;
        return true;
    }

    // A slot is complete at its section's end: it needs its port, and no two slots share one.
    bool EndSection()
    {
        if (section_ != Slot)
            return true;
        const TRackSlot& slot = rack_.Slots.back();
        if (slot.Interface.empty())
            return Fail("slot \"" + slot.Name + "\" has no Interface=", sectionLine_);
        for (size_t i = 0; i + 1 < rack_.Slots.size(); ++i)
            if (rack_.Slots[i].Interface == slot.Interface)
                return Fail("slots \"" + rack_.Slots[i].Name + "\" and \"" + slot.Name
                                    + "\" share the port " + slot.Interface,
                            sectionLine_);
        return true;
    }

    bool RackValue(const std::string& name, const std::string& value)
    {
        if (name == "autostart" || name == "label") {
            const auto b = Boolean(value);
            if (!b)
                return Fail(key_ + "= takes True or False, not \"" + value + "\"");
            (name == "label" ? rack_.Label : rack_.AutoStart) = *b;
            return true;
        }
        if (name == "maxtime") {
            int seconds = -1;
            const auto [end, ec] =
                    std::from_chars(value.data(), value.data() + value.size(), seconds);
            if (ec != std::errc() || end != value.data() + value.size() || seconds < 0
                || seconds > 86400)
                return Fail(key_ + "= takes whole seconds from 0 to 86400, not \"" + value + "\"");
            rack_.MaxSeconds = seconds;
            return true;
        }
        return Fail("[Rack] has no \"" + key_ + "=\" (AutoStart, Label, MaxTime)");
    }

    bool SlotValue(const std::string& name, const std::string& value)
    {
        TRackSlot& slot = rack_.Slots.back();
        if (name == "interface") {
            if (!IsPortName(value))
                return Fail("not a network port name: \"" + value + "\"");
            slot.Interface = value;
            return true;
        }
        if (name == "address") {
            if (!IsAddress(value))
                return Fail("not an address: \"" + value + "\"");
            slot.Options.Address = value;
            return true;
        }
        bool* box = name == "setclock"   ? &slot.Options.SetClock
                    : name == "ethernet" ? &slot.Options.Ethernet
                    : name == "tamper"   ? &slot.Options.Tamper
                    : name == "vac"      ? &slot.Options.Vac
                                         : nullptr;
        if (!box)
            return Fail("a slot has no \"" + key_
                        + "=\" (Interface, Address, SetClock, Ethernet, Tamper, Vac)");
        const auto b = Boolean(value);
        if (!b)
            return Fail(key_ + "= takes True or False, not \"" + value + "\"");
        *box = *b;
        return true;
    }

    enum { None, Rack, Slot } section_ = None;
    TRackFile rack_;
    std::set<std::string> seen_;
    std::string error_;
    std::string key_; // the value's name as written
    int line_ = 0, sectionLine_ = 0;
    bool rackSeen_ = false;
};

} // namespace

TRackFileResult ParseRackFile(const std::string& text)
{
    return TParser().Parse(text);
}

} // namespace tolvek
