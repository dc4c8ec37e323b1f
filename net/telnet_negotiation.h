// The telnet command parser: strips commands from received bytes and answers the server's
// option negotiation by a fixed policy. Kept apart from the socket so it can be fed any bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

inline constexpr uint8_t TLNT_IAC = 0xFF, TLNT_DONT = 0xFE, TLNT_DO = 0xFD, TLNT_WONT = 0xFC,
                         TLNT_WILL = 0xFB, TLNT_SB = 0xFA, TLNT_SE = 0xF0;
inline constexpr uint8_t TLNT_OPT_SGA = 3, TLNT_OPT_TTYPE = 24;
inline constexpr uint8_t TLNT_TTYPE_SEND = 1, TLNT_TTYPE_IS = 0;

class TTelnetNegotiation
{
public:
    using TReply = std::function<void(const std::string& reply)>;

    // Only the first bytes of a subnegotiation matter; the rest of a long one is dropped.
    static constexpr size_t MaxSubnegotiation = 64;

    std::string TermType = "DUMB";

    void Reset();
    // Appends the data bytes of `block` to `out`; every reply goes to `reply` as soon as it
    // is found.
    void Process(const std::string& block, std::string& out, const TReply& reply);
    std::string Process(const std::string& block, const TReply& reply)
    {
        std::string out;
        Process(block, out, reply);
        return out;
    }
    int State() const { return FState; }

private:
    enum : int {
        tsData = 0,
        tsIAC = 1,
        tsSB = 2,
        tsWILL = 3,
        tsDO = 4,
        tsWONT = 5,
        tsDONT = 6,
        tsSubData = 8,
        tsSubIAC = 9
    };
    int FState = tsData;
    std::string FSubBuffer;
    uint8_t FSubOption = 0;
    // Whether the last answer about SGA / TTYPE agreed: a later refusal of these is then a
    // change and gets its one acknowledgement; every other refusal is already in force.
    bool FSgaAgreed = false, FTTypeAgreed = false;
};
