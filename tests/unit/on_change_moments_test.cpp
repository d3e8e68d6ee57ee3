// Which moments the on-change command is run for when they come faster than it runs.
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "on_change/moment.h"

namespace vaultline {

namespace {

using ::testing::ElementsAreArray;

// A moment as the command would see it, in one line.
std::string Shown(const OnChangeMoment& moment) {
    if (moment.event == OnChangeEvent::Address) {
        return "address " + moment.oldAddress + " -> " + moment.address;
    }
    return "settled " + moment.address + (moment.recheck ? " recheck " : " change ") +
           std::to_string(moment.correct) + "/" + std::to_string(moment.rewritten) + "/" +
           std::to_string(moment.failing);
}

// Each step is a moment noted ("A old new" or "S address correct"), or "run": the command
// takes the next waiting moment.
TEST(WaitingMomentsTest, CommandHearsOfEveryChangeOnceAndNeverOfARoundForAnAddressGone) {
    const struct {
        const char* name;
        std::vector<std::string> steps;
        std::vector<std::string> runs;
    } cases[] = {
        {"one of each, the address first",
         {"S 10.0.0.5 1", "A 10.0.0.5 10.0.0.6", "run", "run", "run"},
         {"address 10.0.0.5 -> 10.0.0.6"}},
        {"changes fold into one, from the address last told",
         {"A  10.0.0.5", "run", "A 10.0.0.5 10.0.0.6", "A 10.0.0.6 10.0.0.7", "run"},
         {"address  -> 10.0.0.5", "address 10.0.0.5 -> 10.0.0.7"}},
        {"the latest settled round stands for the earlier",
         {"S 10.0.0.5 1", "S 10.0.0.5 2", "run"},
         {"settled 10.0.0.5 change 2/0/0"}},
        {"a change drops the settled moment of the address before",
         {"A  10.0.0.5", "run", "S 10.0.0.5 1", "A 10.0.0.5 10.0.0.6", "run", "run", "S 10.0.0.6 3",
          "run"},
         {"address  -> 10.0.0.5", "address 10.0.0.5 -> 10.0.0.6", "settled 10.0.0.6 change 3/0/0"}},
        {"a round settled after the change is kept",
         {"A 10.0.0.5 10.0.0.6", "S 10.0.0.6 2", "run", "run"},
         {"address 10.0.0.5 -> 10.0.0.6", "settled 10.0.0.6 change 2/0/0"}},
    };
    for (const auto& example : cases) {
        SCOPED_TRACE(example.name);
        WaitingMoments waiting;
        std::vector<std::string> runs;
        for (const std::string& step : example.steps) {
            if (step == "run") {
                if (const auto next = waiting.Take()) {
                    runs.push_back(Shown(*next));
                }
                continue;
            }
            std::istringstream words(step.substr(2));
            if (step[0] == 'A') {
                // An empty old address is written as two blanks.
                std::string oldAddress;
                std::string newAddress;
                if (step[2] != ' ') {
                    words >> oldAddress;
                }
                words >> newAddress;
                waiting.Add(AddressMoment(oldAddress, newAddress));
            } else {
                std::string address;
                std::size_t correct = 0;
                words >> address >> correct;
                waiting.Add(SettledMoment(address, correct, 0, 0, false));
            }
        }
        EXPECT_THAT(runs, ElementsAreArray(example.runs));
    }
}

// A moment that could not be started goes back ahead of anything that came meanwhile of the
// other kind, and is not folded into a newer one of its own.
TEST(WaitingMomentsTest, MomentPutBackRunsNextWithoutLosingTheRoundThatFollowedIt) {
    WaitingMoments waiting;
    waiting.Add(AddressMoment("10.0.0.5", "10.0.0.6"));
    waiting.Add(SettledMoment("10.0.0.6", 4, 0, 0, false));
    const auto first = waiting.Take();
    ASSERT_TRUE(first);
    waiting.PutBack(*first);
    const auto again = waiting.Take();
    ASSERT_TRUE(again);
    EXPECT_EQ(Shown(*again), "address 10.0.0.5 -> 10.0.0.6");
    const auto then = waiting.Take();
    ASSERT_TRUE(then);
    EXPECT_EQ(Shown(*then), "settled 10.0.0.6 change 4/0/0");
    EXPECT_FALSE(waiting.Take());
}

}  // namespace

}  // namespace vaultline
