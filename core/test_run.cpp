#include "core/test_run.h"

#include "core/echo_permission.h"
#include "core/ethernet_transfer.h"
#include "core/pattern_file.h"
#include "core/record.h"
#include "core/report.h"
#include "net/host_lookup.h"
#include "net/ping_client.h"
#include "net/run_stop.h"
#include "net/telnet_client.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <stdexcept>

namespace tolvek {

TStationTime LocalTimeNow()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm tm{};
    localtime_r(&now.tv_sec, &tm);
    return {tm.tm_year + 1900,
            tm.tm_mon + 1,
            tm.tm_mday,
            tm.tm_hour,
            tm.tm_min,
            tm.tm_sec,
            static_cast<int>(tm.tm_gmtoff),
            static_cast<int>(now.tv_nsec / 1000000)};
}

std::string JournalTime(const TStationTime& t)
{
    char text[64];
    std::snprintf(text, sizeof text, "%02d-%02d-%04d %02d:%02d:%02d", t.Day, t.Month, t.Year,
                  t.Hour, t.Minute, t.Second);
    return text;
}

std::string UnitClockTime(const TStationTime& t)
{
    char text[64];
    std::snprintf(text, sizeof text, "%02d%02d%02d%02d%04d", t.Month, t.Day, t.Hour, t.Minute,
                  t.Year);
    return text;
}

std::string IsoTime(const TStationTime& t)
{
    const int offset = t.UtcOffsetSeconds < 0 ? -t.UtcOffsetSeconds : t.UtcOffsetSeconds;
    char text[80], ms[8] = "";
    if (t.Millisecond >= 0)
        std::snprintf(ms, sizeof ms, ".%03d", t.Millisecond % 1000);
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%s%c%02d:%02d", t.Year, t.Month,
                  t.Day, t.Hour, t.Minute, t.Second, ms, t.UtcOffsetSeconds < 0 ? '-' : '+',
                  offset / 3600, offset / 60 % 60);
    return text;
}

namespace {

// Longest report line taken from the unit. A unit writing more without a line end is
// broken: the run ends instead of buffering without limit.
constexpr int kMaxReportLine = 64 * 1024;
// A host name is looked up once, before the unit is asked anything; a lookup takes
// milliseconds, and a resolver silent for longer is the station's fault, not the unit's.
constexpr int kLookupMs = 5000;

[[noreturn]] void Fail(const char* message)
{
    throw std::runtime_error(message);
}

// A failure of the station, not of the unit: the run ends untested.
class EStationFault : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The unit's text (its code page) as one record line: at most `limit` bytes of it, then
// a note of how much was left out.
std::string KeptLine(const std::string& text, size_t limit)
{
    if (text.size() <= limit)
        return Cp1251ToUtf8(text);
    return Cp1251ToUtf8(text.substr(0, limit)) + "…[" + std::to_string(text.size() - limit)
           + " bytes more]";
}

// One test run: its own state and its steps.
class TTestRun
{
public:
    explicit TTestRun(TRunHost& host)
        : host_(host)
    {}

    TRunRecord Execute()
    {
        bool failed = false, untested = false;
        std::string message;
        try {
            Prepare();
            Steps();
        } catch (const EStationFault& e) {
            untested = true;
            message = e.what();
        } catch (const std::exception& e) {
            failed = true;
            message = e.what();
        }
        CleanUp(failed, untested, message);
        return std::move(record_);
    }

private:
    using Clock = std::chrono::steady_clock;

    // The unit's address as the sockets take it: a host name as it was looked up at the start.
    std::string Address()
    {
        const std::string given = host_.Options().Address;
        return given == name_ ? numeric_ : given;
    }

    // A name that is not found in time leaves the unit untested; a stop ends the lookup.
    void LookUpUnit()
    {
        const std::string given = host_.Options().Address;
        const THostLookup found = LookUpHost(given, kLookupMs);
        if (found.Error == WSAEINTR && host_.AbortRequested())
            return;
        // Out of time, its own or the run's.
        const bool silent = found.Error == WSAETIMEDOUT || found.Error == WSAEINTR;
        if (found.Error != 0)
            throw EStationFault(
                    "Станция не нашла адрес блока \"" + given + "\" ("
                    + (silent ? std::string("нет ответа") : TBlockSocket::GetErrorDesc(found.Error))
                    + "). Блок не проверен.");
        name_ = given;
        numeric_ = found.Address;
    }

    void Journal(const std::string& line)
    {
        record_.Journal.push_back(line);
        host_.Journal(line);
    }

    // Keeps one line of the unit's text while the record's budget lasts, else counts it.
    bool Keep(const std::string& line, int& notKept)
    {
        if (keptBytes_ + line.size() > kMaxKeptText) {
            ++notKept;
            return false;
        }
        keptBytes_ += line.size();
        return true;
    }

    // A journal line made of the unit's text: shown always, kept within the record's budget.
    void UnitJournal(const std::string& line)
    {
        if (Keep(line, journalNotKept_))
            record_.Journal.push_back(line);
        host_.Journal(line);
    }

    bool TimeIsUp() const { return deadline_ != 0 && SteadyMilliseconds() >= deadline_; }

    void Prepare()
    {
        host_.Begin();
        if (const int seconds = host_.MaxSeconds(); seconds > 0) {
            deadline_ = SteadyMilliseconds() + static_cast<uint64_t>(seconds) * 1000;
            SetRunStopDeadline(deadline_);
        }
        record_.Options = host_.Options();
        const TStationTime now = host_.Now();
        record_.Started = IsoTime(now);
        Journal("date: " + JournalTime(now));
        host_.Serial(std::string());
        failures_ = 0;
        host_.Status(TRunStatus::Testing);
        telnet_ = std::make_unique<TTelnetSend>();
    }

    // The slot's port is the station's: missing or switched off, no unit can be tested
    // through it, and nothing may go out another way.
    void CheckNetworkPort()
    {
        const std::string port = host_.Options().Interface;
        if (port.empty())
            return;
        switch (NetworkPortState(port)) {
        case TPortState::Up: return;
        case TPortState::Down:
            throw EStationFault("Сетевой порт станции \"" + port + "\" выключен");
        case TPortState::Missing:
            throw EStationFault("Нет сетевого порта станции \"" + port + "\"");
        }
    }

    void Steps()
    {
        CheckNetworkPort();
        LookUpUnit();
        if (host_.AbortRequested())
            return;
        bool noEchoSocket = false;
        BeginStep("echo");
        const int32_t echo = EchoRoundTrip(Address(), &noEchoSocket, host_.Options().Interface);
        if (echo == -1) {
            if (noEchoSocket)
                throw EStationFault(NoEchoPermissionMessage());
            // "Прервать" pressed during the echo's wait is an abort, not a silent unit.
            host_.ProcessEvents();
            if (host_.AbortRequested())
                return;
            Fail("Блок не отвечает");
        }
        EndStep();
        record_.Measurements.EchoMilliseconds = echo;
        if (host_.Options().Ethernet)
            TransferTest();
        if (host_.AbortRequested())
            return;

        BeginStep("login");
        telnet_->TargetHost = Address();
        telnet_->TargetPort = "23";
        telnet_->Interface = host_.Options().Interface;
        telnet_->Timeout = kPromptTimeout;
        telnet_->WaitLimit = kPromptWaitLimit;
        telnet_->Sock.MaxLineLength = kMaxReportLine;
        if (!telnet_->Login())
            Fail("Не могу подключиться к ЦФН-ЛР");
        Journal("IP:" + Address());
        if (!telnet_->WaitForText("login:"))
            Fail("Нет приглашения 'login:'");
        if (!telnet_->Exchange("root\n", "$"))
            Fail("Нет приглашения '$'");
        EndStep();
        if (host_.Options().SetClock) {
            BeginStep("clock");
            if (!telnet_->Exchange("date -s " + UnitClockTime(host_.Now()) + "\n", "$"))
                Fail("Нет приглашения после вызова date");
            if (!telnet_->Exchange("hwclock -w\n", "$"))
                Fail("Нет приглашения после вызова hwclock");
            EndStep();
        }
        BeginStep("report");
        telnet_->Send("tolvek\n");
        telnet_->Timeout = kReportTimeout;
        telnet_->WaitLimit = kReportLineLimit;
        ReadReport();
    }

    // A failure becomes one journal line and one counted failure; an abort found after
    // the upload leaves no line and lets the next checkpoint end the run.
    void TransferTest()
    {
        const auto outcome = RunEthernetTransfer([this] { return Address(); },
                                                 [this] { return host_.AbortRequested(); }, "21",
                                                 host_.Options().Interface);
        TransferSteps(outcome);
        switch (outcome.Result) {
        case TTransferOutcome::Passed:
            record_.Transfer = TTransferRecord{true, std::string()};
            Journal("test file transfer passed");
            break;
        case TTransferOutcome::Failed:
            record_.Transfer = TTransferRecord{false, outcome.Message};
            Journal("test file transfer failed:" + outcome.Message);
            ++failures_;
            break;
        case TTransferOutcome::Aborted: break;
        }
    }

    // The steps' times come from the steady clock: a "date -s" on the station's side or a
    // clock change during the run cannot make them negative.
    void BeginStep(const char* name)
    {
        record_.Steps.push_back({name, 0, false});
        stepStart_ = Clock::now();
        stepOpen_ = true;
    }

    // A step left open (a failure or an abort ended it) stays unsuccessful.
    void EndStep(bool passed = true)
    {
        if (!stepOpen_)
            return;
        stepOpen_ = false;
        record_.Steps.back().Milliseconds = Milliseconds(Clock::now() - stepStart_);
        record_.Steps.back().Passed = passed;
    }

    static long long Milliseconds(Clock::duration d)
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    }

    void TransferSteps(const TTransferOutcome& outcome)
    {
        const auto add = [this](const char* name, const TTransferOutcome::TDirection& d,
                                std::optional<double>& rate) {
            if (!d.Tried)
                return;
            record_.Steps.push_back({name, Milliseconds(d.Took), d.Passed});
            const double seconds = std::chrono::duration<double>(d.Took).count();
            if (d.Passed && seconds > 0)
                rate = double(kPatternBytes) / (1024.0 * 1024.0) / seconds;
        };
        add("upload", outcome.Upload, record_.Measurements.UploadMiBPerSecond);
        add("download", outcome.Download, record_.Measurements.DownloadMiBPerSecond);
    }

    // Each measurement outside its limits is one counted failure with its journal line; a
    // marginal one only a journal line. What was not measured is not judged.
    void JudgeLimits()
    {
        record_.Judgements = JudgeMeasurements(record_, host_.Limits());
        for (const auto& j : record_.Judgements) {
            if (j.Result == TJudgementResult::Failed)
                ++failures_;
            if (j.Result != TJudgementResult::Passed)
                Journal(JudgementLine(j));
        }
    }

    void ReadReport()
    {
        TReportBudget budget;
        for (;;) {
            if (host_.AbortRequested())
                return;
            // Silence is not counted against the report's bounds; the run's own bound ends it.
            if (TimeIsUp())
                Fail("");
            const std::string received = telnet_->ReadLine();
            // Silence only gives an empty line and the run waits on; a closed connection
            // or an endless line would otherwise spin here or eat memory.
            const int error = telnet_->Sock.LastError();
            if (error == WSAENOBUFS)
                Fail("ЦФН-ЛР прислал слишком длинную строку (нет конца строки)");
            if (error != 0 && error != WSAETIMEDOUT)
                Fail("Потеряна связь с ЦФН-ЛР");
            if (error == 0 && !budget.Take(received.size()))
                Fail("ЦФН-ЛР прислал слишком длинный отчет (нет строки \"tests completed\")");
            const std::string line = StripEscapeSequences(received);
            // The unit writes ASCII; anything else is shown as the station's code page has it.
            const std::string kept = KeptLine(line, kMaxKeptLine);
            if (Keep(kept, linesNotKept_))
                record_.Report.push_back(kept);
            host_.ReportLine(kept);
            host_.ProcessEvents();

            const TRunOptions options = host_.Options();
            const auto r = EvaluateReportLine(line, options.Tamper, options.Vac);
            switch (r.kind) {
            case TReportLineKind::Completion:
                telnet_->Send("exit\n");
                telnet_->Logout();
                EndStep();
                JudgeLimits();
                host_.Status(failures_ > 0 ? TRunStatus::Error : TRunStatus::Passed);
                return;
            case TReportLineKind::Serial:
                record_.Serial = host_.Serial(KeptLine(r.serial, kMaxKeptLine));
                UnitJournal("serial number: " + record_.Serial);
                break;
            case TReportLineKind::Failed:
                if (r.counted)
                    ++failures_;
                UnitJournal(KeptLine(r.journal, kMaxKeptLine));
                break;
            case TReportLineKind::Passed: UnitJournal(KeptLine(r.journal, kMaxKeptLine)); break;
            case TReportLineKind::Strange: Fail("Странный ответ ЦФН-ЛР");
            case TReportLineKind::Other: break;
            }
        }
    }

    // The host gets the run back only after the final status has been shown (and its
    // events processed), so a click queued during a frozen wait cannot start a second
    // run or a print inside this one.
    void CleanUp(bool failed, bool untested, std::string message)
    {
        telnet_.reset();
        EndStep(false);
        if (linesNotKept_ > 0)
            record_.Report.push_back("[" + std::to_string(linesNotKept_) + " more lines not kept]");
        if (journalNotKept_ > 0)
            record_.Journal.push_back("[" + std::to_string(journalNotKept_)
                                      + " more lines not kept]");
        try {
            record_.Finished = IsoTime(host_.Now());
        } catch (const std::exception&) {
            // The station's clock failed already in the run; the machine's still tells.
            record_.Finished = IsoTime(LocalTimeNow());
        }
        // A stop wakes every wait, so a step that fails while the abort is asked for was
        // stopped; past the run's bound the unit failed, whatever wait was going on.
        const bool aborted = !untested && host_.AbortRequested();
        failed = failed && !aborted;
        if (failed && TimeIsUp())
            message = "ЦФН-ЛР не закончил тест за " + std::to_string(host_.MaxSeconds()) + " с";
        SetRunStopDeadline(0);
        if (aborted)
            host_.Status(TRunStatus::Aborted);
        if (failed || untested)
            host_.Status(TRunStatus::Error);
        record_.Failures = failures_;
        if (failed || untested) {
            record_.Verdict = untested ? TRunVerdict::Untested : TRunVerdict::Failed;
            record_.Message = message;
        } else if (aborted) {
            record_.Verdict = TRunVerdict::Aborted;
        } else {
            record_.Verdict = failures_ > 0 ? TRunVerdict::Failed : TRunVerdict::Passed;
        }
        host_.End(record_);
    }

    TRunHost& host_;
    int failures_ = 0;
    uint64_t deadline_ = 0;      // SteadyMilliseconds of the run's bound; 0 = none
    size_t keptBytes_ = 0;       // the unit's text the record holds
    int linesNotKept_ = 0;       // report lines past the budget
    int journalNotKept_ = 0;     // journal lines of the unit's text past it
    std::string name_, numeric_; // the unit's host name and the address it was found at
    Clock::time_point stepStart_;
    bool stepOpen_ = false;
    std::unique_ptr<TTelnetSend> telnet_;
    TRunRecord record_;
};

} // namespace

TRunRecord ExecuteTestRun(TRunHost& host)
{
    return TTestRun(host).Execute();
}

} // namespace tolvek
