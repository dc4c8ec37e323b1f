#include "net/telnet_negotiation.h"

namespace {
std::string Command(uint8_t verb, uint8_t option)
{
    return std::string{static_cast<char>(TLNT_IAC), static_cast<char>(verb),
                       static_cast<char>(option)};
}
} // namespace

void TTelnetNegotiation::Reset()
{
    FState = tsData;
    FSubBuffer.clear();
    FSubOption = 0;
    FSgaAgreed = false;
    FTTypeAgreed = false;
}

void TTelnetNegotiation::Process(const std::string& block, std::string& out, const TReply& reply)
{
    out.reserve(out.size() + block.size());
    for (size_t i = 0; i < block.size(); ++i) {
        if (FState == tsData) {
            // Plain text is copied in runs up to the next IAC: this is nearly all of a session.
            size_t iac = block.find(static_cast<char>(TLNT_IAC), i);
            if (iac == std::string::npos)
                iac = block.size();
            out.append(block, i, iac - i);
            i = iac;
            if (i == block.size())
                break;
        }
        const char c = block[i];
        const uint8_t b = static_cast<uint8_t>(c);
        switch (FState) {
        case tsData:
            if (b == TLNT_IAC)
                FState = tsIAC;
            else
                out += c;
            break;
        case tsIAC:
            FState = tsData;
            switch (b) {
            case TLNT_IAC: out += c; break;
            case TLNT_SB:
                FSubOption = 0;
                FSubBuffer.clear();
                FState = tsSB;
                break;
            case TLNT_WILL: FState = tsWILL; break;
            case TLNT_WONT: FState = tsWONT; break;
            case TLNT_DO: FState = tsDO; break;
            case TLNT_DONT: FState = tsDONT; break;
            default: break; // GA, NOP, a stray SE ...: dropped
            }
            break;
        case tsSB:
            FSubOption = b;
            FState = tsSubData;
            break;
        case tsWILL:
            FState = tsData;
            FSgaAgreed = FSgaAgreed || b == TLNT_OPT_SGA;
            reply(Command(b == TLNT_OPT_SGA ? TLNT_DO : TLNT_DONT, b));
            break;
        case tsDO:
            FState = tsData;
            FTTypeAgreed = FTTypeAgreed || b == TLNT_OPT_TTYPE;
            reply(Command(b == TLNT_OPT_TTYPE ? TLNT_WILL : TLNT_WONT, b));
            break;
        case tsWONT:
            // Answering every WONT with DONT would ping-pong for ever with a server that
            // answers every DONT with WONT.
            FState = tsData;
            if (b == TLNT_OPT_SGA && FSgaAgreed) {
                FSgaAgreed = false;
                reply(Command(TLNT_DONT, b));
            }
            break;
        case tsDONT:
            FState = tsData;
            if (b == TLNT_OPT_TTYPE && FTTypeAgreed) {
                FTTypeAgreed = false;
                reply(Command(TLNT_WONT, b));
            }
            break;
        case tsSubData:
            if (b == TLNT_IAC)
                FState = tsSubIAC;
            else if (FSubBuffer.size() < MaxSubnegotiation)
                FSubBuffer += c;
            break;
        case tsSubIAC:
            if (b == TLNT_SE) {
                FState = tsData;
                std::string answer{static_cast<char>(TLNT_IAC), static_cast<char>(TLNT_SB),
                                   static_cast<char>(FSubOption)};
                if (FSubOption == TLNT_OPT_TTYPE && !FSubBuffer.empty()
                    && static_cast<uint8_t>(FSubBuffer[0]) == TLNT_TTYPE_SEND) {
                    answer += static_cast<char>(TLNT_TTYPE_IS);
                    answer += TermType;
                }
                answer += static_cast<char>(TLNT_IAC);
                answer += static_cast<char>(TLNT_SE);
                reply(answer);
            } else if (b == TLNT_IAC) {
                FState = tsSubData;
                if (FSubBuffer.size() < MaxSubnegotiation)
                    FSubBuffer += c;
            } else {
                FState = tsData; // abandoned: nothing is sent
            }
            break;
        default: FState = tsData; break;
        }
    }
}
