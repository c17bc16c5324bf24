#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "calculators/registry.h"

namespace {

using calculators::CALCULATOR_NAMES;

// How many family tables list `name`.
int tables_listing(std::string_view name) {
    int count = 0;
    for (const auto* family : calculators::families())
        count += static_cast<int>(std::count_if(family->begin(), family->end(),
                                                [&](const calculators::Entry& e) { return e.name == name; }));
    return count;
}

TEST(Dispatch, CatalogueIsSortedAndDistinct) {
    EXPECT_TRUE(std::adjacent_find(CALCULATOR_NAMES.begin(), CALCULATOR_NAMES.end(),
                                   [](auto a, auto b) { return a >= b; }) == CALCULATOR_NAMES.end());
}

// A name resolves exactly when one table lists it, and then to that entry.
TEST(Dispatch, EveryTabledNameIsCataloguedOnceAndResolvesToItsEntry) {
    for (const auto* family : calculators::families())
        for (const calculators::Entry& e : *family) {
            const bool catalogued = std::binary_search(CALCULATOR_NAMES.begin(), CALCULATOR_NAMES.end(), e.name);
            EXPECT_TRUE(catalogued || e.name == "__supports_f_agg") << e.name;
            EXPECT_EQ(tables_listing(e.name), 1) << e.name;
            EXPECT_EQ(calculators::resolve(e.name), &e) << e.name;
        }
    for (std::string_view name : CALCULATOR_NAMES)
        EXPECT_EQ(calculators::resolve(name) != nullptr, tables_listing(name) == 1) << name;
}

}  // namespace
