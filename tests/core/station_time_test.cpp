#include "core/test_run.h"

#include <gtest/gtest.h>

// The three forms of the station's clock: the journal, the unit's "date -s" and the run record.
TEST(StationTime, Forms)
{
    struct Case
    {
        tolvek::TStationTime t;
        const char *journal, *unit, *iso;
    };
    const Case cases[] = {
            {{2026, 12, 8, 4, 46, 57, 3600},
             "08-12-2026 04:46:57",
             "120804462026",
             "2026-12-08T04:46:57+01:00"},
            {{2026, 1, 2, 23, 0, 5, 0},
             "02-01-2026 23:00:05",
             "010223002026",
             "2026-01-02T23:00:05+00:00"},
            {{999, 7, 31, 0, 0, 0, -(3 * 3600 + 30 * 60)},
             "31-07-0999 00:00:00",
             "073100000999",
             "0999-07-31T00:00:00-03:30"},
            {{2026, 6, 1, 12, 0, 0, 5 * 3600 + 45 * 60},
             "01-06-2026 12:00:00",
             "060112002026",
             "2026-06-01T12:00:00+05:45"},
            {{2026, 6, 1, 12, 0, 0, 0, 7},
             "01-06-2026 12:00:00",
             "060112002026",
             "2026-06-01T12:00:00.007+00:00"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(tolvek::JournalTime(c.t), c.journal);
        EXPECT_EQ(tolvek::UnitClockTime(c.t), c.unit);
        EXPECT_EQ(tolvek::IsoTime(c.t), c.iso);
    }
}
