#include <gtest/gtest.h>

#include "test_support.h"

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "plintrove/core/constants.h"
#include "plintrove/core/database_report.h"
#include "plintrove/core/errors.h"
#include "plintrove/core/reason_descriptions.h"
#include "plintrove/core/search_tracker.h"

using namespace plintrove;
using namespace plintrove::test_support;

namespace {

std::string rendered(std::string_view text, std::string_view kind) {
    return describe_reason(text, kind).get("rendered")->as_text();
}
std::string machine(std::string_view text, std::string_view kind = "rejection_reason") {
    return describe_reason(text, kind).get("machine")->as_text();
}

}  // namespace

TEST(ReasonDescriptions, EveryStoredStatusReadsAsAnOwnSentence) {
    EXPECT_EQ(describe_reason("paid", "status"),
              Value(Mapping{{"rendered", "Submission was paid."}, {"machine", "paid"}}));
    for (std::string_view status : kValidStatuses) {
        std::string text = rendered(status, "status");
        EXPECT_NE(text.rfind("Status: ", 0), 0u) << status << " fell back to the generic form";
        EXPECT_EQ(text.back(), '.') << status;
        EXPECT_EQ(machine(status, "status"), status);
    }
    EXPECT_EQ(rendered("signal_os_failed", "status"), "Signal failed out-of-sample validation.");
    EXPECT_EQ(rendered("strategy_useful_transition_failed", "status"),
              "Strategy was judged useful, but the transition failed.");
    EXPECT_EQ(rendered("on_hold", "status"), "Status: On hold.");
}

TEST(ReasonDescriptions, IdentifiersAreSpelledOutAndProseKept) {
    EXPECT_EQ(rendered("low_sharpe", "rejection_reason"), "Rejected: Low sharpe.");
    EXPECT_EQ(rendered("maxDrawdown-exceeded", "rejection_reason"),
              "Rejected: Max drawdown exceeded.");
    EXPECT_EQ(rendered("pnl_mi_below_0.02", "rejection_reason"),
              "Rejected: PnL MI below 0.02.");
    EXPECT_EQ(rendered("HTTPError", "failure_reason"), "Failed: HTTP error.");
    EXPECT_EQ(rendered("  Sharpe 0.31 below   threshold 0.5 ", "rejection_reason"),
              "Rejected: Sharpe 0.31 below threshold 0.5.");
    EXPECT_EQ(rendered("worker crashed!", "failure_reason"), "Failed: Worker crashed!");
    EXPECT_EQ(rendered("", "failure_reason"), "No failure reason recorded.");
}

TEST(ReasonDescriptions, MachineTokenIsStableAcrossMeasuredValues) {
    EXPECT_EQ(machine("Sharpe 0.31 below threshold 0.5"), "sharpe_below_threshold");
    EXPECT_EQ(machine("Sharpe 1.7 below threshold 2"), "sharpe_below_threshold");
    EXPECT_EQ(machine("maxDrawdown exceeded (p95)"), "max_drawdown_exceeded_p95");
    EXPECT_EQ(machine("HTTPError 503"), "http_error");
    EXPECT_EQ(machine("503"), "503");
    EXPECT_EQ(machine("-- ! --"), "unknown");
    EXPECT_EQ(machine("Corrélation élevée"), "corrélation_élevée");
    try {
        describe_reason("x", "reason");
        FAIL() << "no error";
    } catch (const ValueError& e) {
        EXPECT_STREQ(e.what(),
                     "kind must be one of 'status', 'rejection_reason', 'failure_reason', got "
                     "'reason'");
    }
}

// A C++ host's own describer on the tracker serves the report in place of the built-in one.
TEST(ReasonCatalogue, UsesTheTrackersOwnDescriber) {
    TempDir dir;
    {
        SearchTracker tracker(dir.path());
        tracker.conn().execute(
            "INSERT INTO signal_submission_status (eval_id, era_id, status, rejection_reason) "
            "VALUES (1, 1, 'paid', 'late')");
        tracker.conn().commit();
        std::vector<std::string> seen;
        tracker.set_reason_describer([&seen](const std::string& text, const std::string& kind) {
            seen.push_back(kind + ":" + text);
            return Value(Mapping{{"rendered", text + "!"}, {"machine", 7}});
        });
        Value own = get_db_info(tracker).reason_descriptions;
        EXPECT_EQ(*own.get("rejection_reasons")->get("late"),
                  Value(Mapping{{"raw", "late"}, {"rendered", "late!"}, {"machine", 7}}));
        EXPECT_EQ(seen, (std::vector<std::string>{"status:paid", "rejection_reason:late"}));
        tracker.close();
    }
}
