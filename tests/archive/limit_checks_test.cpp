// A measurement outside its limits enters the Pareto of failing checks under its own name.
#include "archive/run_facts.h"
#include "archive_support.h"

#include <gtest/gtest.h>

using namespace tolvek;

TEST(FailingChecks, MeasurementOutsideItsLimitsIsACheckOfItsOwn)
{
    auto r = archivetest::MakeRun("2026-12-08T10:00:00+03:00", "SN1", TRunVerdict::Failed);
    r.Judgements = {{"echo_ms", 45, std::nullopt, 50, std::nullopt, 40, TJudgementResult::Marginal},
                    {"upload_mib_s", 0.95, 8, std::nullopt, std::nullopt, std::nullopt,
                     TJudgementResult::Failed},
                    {"step_ms.report", 900, std::nullopt, 20000, std::nullopt, std::nullopt,
                     TJudgementResult::Passed}};
    EXPECT_EQ(FailingChecks(r), std::vector<QString>{QStringLiteral("upload_mib_s")});
}
