// The rack file as operators write it: what it gives, and every mistake refused by line.
#include "rack/rack_file.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace tolvek;

namespace {

// A slot as one line: "name port address +clock +ethernet -tamper -vac".
std::string Shown(const TRackSlot& s)
{
    const auto box = [](bool on, const char* name) { return std::string(on ? " +" : " -") + name; };
    return s.Name + " " + s.Interface + " " + s.Options.Address + box(s.Options.SetClock, "clock")
           + box(s.Options.Ethernet, "ethernet") + box(s.Options.Tamper, "tamper")
           + box(s.Options.Vac, "vac");
}

std::string Slots(int n)
{
    std::string text;
    for (int i = 1; i <= n; ++i)
        text += "[s" + std::to_string(i) + "]\nInterface=p" + std::to_string(i) + "\n";
    return text;
}

} // namespace

TEST(RackFile, Accepted)
{
    struct Case
    {
        const char* name;
        std::string text;
        std::vector<std::string> slots;
        std::string rack = "auto label=0 600"; // AutoStart, Label, MaxTime
    };
    const Case cases[] = {
            {"defaults",
             "[Гнездо 1]\nInterface=slot1\n",
             {"Гнездо 1 slot1 192.168.1.178 +clock +ethernet -tamper -vac"}},
            {"every key, any letter case, blanks, comments, CRLF and a BOM",
             "\xEF\xBB\xBF; rack\r\n[rack]\r\n  autostart = false\r\nLABEL=True\r\nMaxTime=0\r\n"
             "\r\n# first\r\n[ A ]\r\nINTERFACE=enp3s0\r\nAddress=10.0.0.7\r\nSetClock=FALSE\r\n"
             "Ethernet=false\r\nTamper=true\r\nVac=True\r\n[B]\r\nAddress=fe80::1\r\n"
             "Interface=usb0",
             {"A enp3s0 10.0.0.7 -clock -ethernet +tamper +vac",
              "B usb0 fe80::1 +clock +ethernet -tamper -vac"},
             "manual label=1 0"},
            {"a host name as address",
             "[x]\nInterface=p\nAddress=unit-7.bench\n",
             {"x p unit-7.bench +clock +ethernet -tamper -vac"}},
            {"sixteen slots", Slots(16), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TRackFileResult r = ParseRackFile(c.text);
        ASSERT_TRUE(r.Rack) << r.Error;
        EXPECT_EQ(r.Error, "");
        if (c.slots.empty()) {
            EXPECT_EQ(r.Rack->Slots.size(), 16u);
            EXPECT_EQ(r.Rack->Slots.back().Interface, "p16");
            continue;
        }
        std::vector<std::string> slots;
        for (const TRackSlot& s : r.Rack->Slots)
            slots.push_back(Shown(s));
        EXPECT_EQ(slots, c.slots);
        EXPECT_EQ(std::string(r.Rack->AutoStart ? "auto" : "manual") + " label="
                          + (r.Rack->Label ? "1 " : "0 ") + std::to_string(r.Rack->MaxSeconds),
                  c.rack);
    }
}

TEST(RackFile, RefusedNamingTheLine)
{
    struct Case
    {
        std::string text;
        std::string error;
    };
    const Case cases[] = {
            {"", "no slot: give each slot a section with its Interface="},
            {"[Rack]\nLabel=True\n", "no slot: give each slot a section with its Interface="},
            {"Interface=p1\n[a]\n", "line 1: \"Interface=\" before the first section"},
            {"[a]\nInterface=p1\n[b\n", "line 3: a section header without \"]\""},
            {"[a]\nInterface=p1\n[ ]\n", "line 3: a section without a name"},
            {"[a]\nInterface p1\n", "line 2: neither [section] nor name=value: \"Interface p1\""},
            {"[a]\nAddress=10.0.0.1\n[b]\nInterface=p2\n", "line 1: slot \"a\" has no Interface="},
            {"[a]\nInterface=p1\n[b]\nAddress=10.0.0.2\n", "line 3: slot \"b\" has no Interface="},
            {"[a]\nInterface=p1\n[b]\nInterface=p1\n",
             "line 3: slots \"a\" and \"b\" share the port p1"},
            {"[a]\nInterface=p1\n[A]\nInterface=p2\n", "line 3: a second slot named \"A\""},
            {"[a]\nInterface=p1\nInterface=p2\n",
             "line 3: \"Interface=\" given twice in this section"},
            {"[a]\nInterface=slot/1\n", "line 2: not a network port name: \"slot/1\""},
            {"[a]\nInterface=sixteen_bytes_xx\n",
             "line 2: not a network port name: \"sixteen_bytes_xx\""},
            {"[a]\nInterface=\n", "line 2: not a network port name: \"\""},
            {"[a]\nInterface=p1\nAddress=999.1.1.1\n", "line 3: not an address: \"999.1.1.1\""},
            {"[a]\nInterface=p1\nAddress=10.0.0.1:21\n", "line 3: not an address: \"10.0.0.1:21\""},
            {"[a]\nInterface=p1\nTamper=yes\n", "line 3: Tamper= takes True or False, not \"yes\""},
            {"[a]\nInterface=p1\nPort=23\n", "line 3: a slot has no \"Port=\" (Interface, Address, "
                                             "SetClock, Ethernet, Tamper, Vac)"},
            {"[Rack]\nMaxTime=-1\n[a]\nInterface=p\n",
             "line 2: MaxTime= takes whole seconds from 0 to 86400, not \"-1\""},
            {"[Rack]\nMaxTime=10s\n[a]\nInterface=p\n",
             "line 2: MaxTime= takes whole seconds from 0 to 86400, not \"10s\""},
            {"[Rack]\nColour=red\n",
             "line 2: [Rack] has no \"Colour=\" (AutoStart, Label, MaxTime)"},
            {"[Rack]\n[a]\nInterface=p\n[RACK]\n", "line 4: a second [Rack] section"},
            {"[a]\nInterface=p1\n[\xC3\x28]\n", "line 3: not UTF-8 text"},
            {"[a]\nInterface=p1\n[a\x1B[2Jb]\n", "line 3: a control character"},
            {"[" + std::string(41, 'x') + "]\nInterface=p\n",
             "line 1: a slot name longer than 40 bytes"},
            {Slots(17), "line 33: more than 16 slots"},
            {std::string(64 * 1024 + 1, ';'), "the file is larger than 64 KiB: not a rack file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 80));
        const TRackFileResult r = ParseRackFile(c.text);
        EXPECT_FALSE(r.Rack);
        EXPECT_EQ(r.Error, c.error);
    }
}

// The rack file the README shows is one the station takes.
TEST(RackFile, TheReadmeExample)
{
    std::ifstream readme(TOLVEK_SOURCE_DIR "/README.md");
    std::string line, text;
    bool inside = false;
    while (std::getline(readme, line)) {
        if (line.starts_with("    ; ~/.config/rack.ini"))
            inside = true;
        else if (inside && !line.empty() && !line.starts_with("    "))
            break;
        if (inside)
            text += (line.size() > 4 ? line.substr(4) : std::string()) + "\n";
    }
    const TRackFileResult r = ParseRackFile(text);
    ASSERT_TRUE(r.Rack) << r.Error << "\n" << text;
    EXPECT_EQ(r.Rack->Slots.size(), 4u);
    EXPECT_TRUE(r.Rack->Label);
}
