// The PPDs' UIConstraints against the revision rules. Both sides are found on their own:
// the constraints as libcups reads them from the shipped PPDs, the conflicts by running
// the job options on every pair of choices the PPD offers. Every pair the rules change
// must be constrained (both ways round), and nothing else.
#include <cups/ppd.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "options/QNVCUPSFilter.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

struct Choice {
    std::string option;
    std::string choice;
    bool operator<(const Choice &other) const {
        return std::tie(option, choice) < std::tie(other.option, other.choice);
    }
};
using Pair = std::pair<Choice, Choice>;

std::string Describe(const Pair &pair) {
    return "*" + pair.first.option + " " + pair.first.choice + " *" + pair.second.option + " " +
           pair.second.choice;
}

// What libcups makes of a PPD: its options with their choices, and its constraints.
struct PpdModel {
    std::map<std::string, std::vector<std::string>> choices;  // option -> choices
    std::set<Pair> constraints;                               // one entry per direction
};

// A constraint without a choice applies to every choice but the "off" ones.
std::vector<std::string> ConstrainedChoices(const PpdModel &model, const std::string &option,
                                            const char *choice) {
    if (choice[0] != '\0')
        return {choice};
    std::vector<std::string> all;
    for (const std::string &c : model.choices.at(option)) {
        if (strcasecmp(c.c_str(), "None") != 0 && strcasecmp(c.c_str(), "False") != 0 &&
            strcasecmp(c.c_str(), "Off") != 0) {
            all.push_back(c);
        }
    }
    return all;
}

bool ReadPpd(const std::string &path, PpdModel *model) {
    ppd_file_t *ppd = ppdOpenFile(path.c_str());
    if (ppd == nullptr)
        return false;
    for (ppd_option_t *option = ppdFirstOption(ppd); option != nullptr;
         option = ppdNextOption(ppd)) {
        std::vector<std::string> &list = model->choices[option->keyword];
        for (int i = 0; i < option->num_choices; ++i)
            list.push_back(option->choices[i].choice);
    }
    for (int i = 0; i < ppd->num_consts; ++i) {
        const ppd_const_t &c = ppd->consts[i];
        for (const std::string &a : ConstrainedChoices(*model, c.option1, c.choice1)) {
            for (const std::string &b : ConstrainedChoices(*model, c.option2, c.choice2))
                model->constraints.insert({{c.option1, a}, {c.option2, b}});
        }
    }
    ppdClose(ppd);
    return true;
}

// The setting the job options hold for a PPD option (0 for options they do not read).
long Setting(const QNVCUPSFilter &options, const std::string &keyword) {
    if (keyword == "PageSize")
        return options.GetPaperSize();
    if (keyword == "MediaType")
        return options.GetPaperType();
    if (keyword == "InputSlot")
        return options.GetInputTray();
    if (keyword == "Duplex")
        return options.GetDuplexStyle();
    if (keyword == "LongEdgeIsVertical")
        return options.IsLongEdgeVertical();
    if (keyword == "PBrightness")
        return options.GetBrightness();
    if (keyword == "PContrast")
        return options.GetContrast();
    if (keyword == "TonerSave")
        return options.IsTonerSaving();
    if (keyword == "EdgeSmoothing")
        return options.IsEdgeSmoothing();
    return 0;
}

using OptionSet = std::set<std::string>;

// Which PPD options the revision rules change in a job that asks for the given choices,
// the other options left at the queue's defaults.
class RuleRunner {
public:
    RuleRunner(const std::string &ppd, const PpdModel &model)
        : defaults_(WithoutJobOptions(ppd)), model_(model) {}

    const OptionSet &Changes(const std::vector<Choice> &asked) {
        std::string job;
        for (const Choice &c : asked)
            job += c.option + "=" + c.choice + " ";
        const auto found = cache_.find(job);
        if (found != cache_.end())
            return found->second;
        QNVCUPSFilter options(defaults_);
        options.LoadOptions(job.c_str());
        std::map<std::string, long> before;
        for (const auto &entry : model_.choices)
            before[entry.first] = Setting(options, entry.first);
        options.ReviseOptions();
        OptionSet changed;
        for (const auto &entry : before) {
            if (Setting(options, entry.first) != entry.second)
                changed.insert(entry.first);
        }
        return cache_[job] = changed;
    }

private:
    // Five arguments: the PPD's defaults are read, the option string and rules are not.
    static QNVCUPSFilter WithoutJobOptions(const std::string &ppd) {
        setenv("PPD", ppd.c_str(), 1);
        const char *args[] = {"queue", "1", "user", "title", ""};
        return QNVCUPSFilter(5, args);
    }

    QNVCUPSFilter defaults_;
    const PpdModel &model_;
    std::map<std::string, OptionSet> cache_;
};

bool Touches(const OptionSet &changed, const Choice &a, const Choice &b) {
    return changed.count(a.option) != 0 || changed.count(b.option) != 0;
}

bool Within(const OptionSet &changed, const OptionSet &allowed) {
    return std::includes(allowed.begin(), allowed.end(), changed.begin(), changed.end());
}

// Whether another choice of the option of `varied`, next to `kept`, leaves both options
// as asked without the rules changing anything that `kept` alone does not make them
// change: then the choice of `varied` is part of the cause.
bool AnotherChoiceClears(const PpdModel &model, RuleRunner &rules, const Choice &varied,
                         const Choice &kept) {
    const OptionSet keptAlone = rules.Changes({kept});
    for (const std::string &other : model.choices.at(varied.option)) {
        const Choice alternative{varied.option, other};
        const OptionSet &changed = rules.Changes({alternative, kept});
        if (!Touches(changed, alternative, kept) && Within(changed, keptAlone))
            return true;
    }
    return false;
}

// A pair conflicts when the rules change one of its two choices, and the pair itself is
// the cause: another choice of either option clears the change. Thick paper from the
// default tray is printed as plain paper whatever duplex says, so thick paper conflicts
// with that tray, not with duplex; an envelope size that moves the job to the manual
// tray keeps thick paper thick only by changing the tray, so thick paper does not
// conflict with the other sizes either.
std::set<Pair> ConflictsOfTheRules(const PpdModel &model, RuleRunner &rules) {
    std::set<Pair> conflicts;
    for (const auto &[optionA, choicesA] : model.choices) {
        for (const auto &[optionB, choicesB] : model.choices) {
            if (optionA == optionB)
                continue;
            for (const std::string &a : choicesA) {
                for (const std::string &b : choicesB) {
                    const Choice ca{optionA, a}, cb{optionB, b};
                    if (Touches(rules.Changes({ca, cb}), ca, cb) &&
                        AnotherChoiceClears(model, rules, ca, cb) &&
                        AnotherChoiceClears(model, rules, cb, ca)) {
                        conflicts.insert({ca, cb});
                    }
                }
            }
        }
    }
    return conflicts;
}

class UIConstraintsTest : public ::testing::TestWithParam<const char *> {
protected:
    std::string PpdPath() const { return std::string(GDI_SOURCE_DIR) + "/ppd/" + GetParam(); }
};

TEST_P(UIConstraintsTest, EveryConstraintIsListedBothWaysRound) {
    PpdModel model;
    ASSERT_TRUE(ReadPpd(PpdPath(), &model));
    ASSERT_FALSE(model.constraints.empty());
    for (const Pair &pair : model.constraints) {
        EXPECT_EQ(1u, model.constraints.count({pair.second, pair.first}))
            << "no reverse of " << Describe(pair);
        for (const Choice &c : {pair.first, pair.second}) {
            ASSERT_EQ(1u, model.choices.count(c.option)) << Describe(pair);
            const std::vector<std::string> &list = model.choices.at(c.option);
            EXPECT_NE(list.end(), std::find(list.begin(), list.end(), c.choice))
                << "unknown choice in " << Describe(pair);
        }
    }
}

TEST_P(UIConstraintsTest, ConstraintsAreExactlyThePairsTheRulesChange) {
    PpdModel model;
    ASSERT_TRUE(ReadPpd(PpdPath(), &model));
    RuleRunner rules(PpdPath(), model);
    const std::set<Pair> conflicts = ConflictsOfTheRules(model, rules);
    // Each rule that refuses a combination shows up here: trays for envelopes and small
    // cards, sizes without duplex, duplex from the manual tray, special media from trays.
    for (const Pair &expected : {Pair{{"PageSize", "EnvDL"}, {"InputSlot", "Tray1"}},
                                 Pair{{"PageSize", "HalfLetter"}, {"Duplex", "DuplexNoTumble"}},
                                 Pair{{"InputSlot", "Manual"}, {"Duplex", "DuplexTumble"}},
                                 Pair{{"MediaType", "Thick"}, {"InputSlot", "Automatic"}}}) {
        EXPECT_EQ(1u, conflicts.count(expected))
            << "the rules do not refuse " << Describe(expected);
    }
    for (const Pair &pair : conflicts) {
        EXPECT_EQ(1u, model.constraints.count(pair)) << "no constraint for " << Describe(pair);
    }
    for (const Pair &pair : model.constraints) {
        EXPECT_EQ(1u, conflicts.count(pair)) << "the rules do not change " << Describe(pair);
    }
}

INSTANTIATE_TEST_SUITE_P(ShippedPpds, UIConstraintsTest,
                         ::testing::Values("gdilsr1.ppd", "gdilsr2.ppd"),
                         [](const auto &info) { return std::string(info.param).substr(0, 7); });

}  // namespace
