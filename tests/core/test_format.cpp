#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "coverage/grid.h"
#include "support/format.h"

namespace {

using quorvalis::format_debug;
using quorvalis::format_plain;

struct NumberText {
    double value;
    std::string debug, plain;
};

class NumberTexts : public ::testing::TestWithParam<NumberText> {};

TEST_P(NumberTexts, BothForms) {
    EXPECT_EQ(format_debug(GetParam().value), GetParam().debug);
    EXPECT_EQ(format_plain(GetParam().value), GetParam().plain);
}

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(Values, NumberTexts,
                         ::testing::Values(NumberText{0.0, "0.0", "0"}, NumberText{-0.0, "-0.0", "-0"},
                                           NumberText{1.0, "1.0", "1"}, NumberText{-3.0, "-3.0", "-3"},
                                           NumberText{0.5, "0.5", "0.5"}, NumberText{1.5, "1.5", "1.5"},
                                           NumberText{-2.25, "-2.25", "-2.25"}, NumberText{0.1, "0.1", "0.1"},
                                           NumberText{123456.789, "123456.789", "123456.789"},
                                           // the exponent thresholds, on both sides
                                           NumberText{1e16, "1e16", "10000000000000000"},
                                           NumberText{9999999999999998.0, "9999999999999998.0", "9999999999999998"},
                                           NumberText{1e-4, "0.0001", "0.0001"}, NumberText{1e-5, "1e-5", "0.00001"},
                                           NumberText{2.5e-5, "2.5e-5", "0.000025"},
                                           NumberText{-1.25e20, "-1.25e20", "-125000000000000000000"},
                                           NumberText{1e300 * 10, "1e301", "1" + std::string(301, '0')},
                                           NumberText{kInf, "inf", "inf"}, NumberText{-kInf, "-inf", "-inf"},
                                           NumberText{std::nan(""), "NaN", "NaN"}));

TEST(NumberRoundTrip, ShortestDigitsReadBack) {
    for (double v : {0.1 + 0.2, 1.0 / 3.0, 2.0 / 3.0 * 1e-7, 123456789.123456789, 5e-324, 1.7976931348623157e308}) {
        EXPECT_EQ(std::strtod(format_debug(v).c_str(), nullptr), v) << format_debug(v);
        EXPECT_EQ(std::strtod(format_plain(v).c_str(), nullptr), v) << format_plain(v);
    }
    EXPECT_EQ(format_debug(0.1 + 0.2), "0.30000000000000004");
}

TEST(BBoxText, FieldsInOrder) {
    EXPECT_EQ(quorvalis::to_string(quorvalis::BBox{-2, 0.00001, 1e16, std::nan("")}),
              "BBox { xmin: -2.0, ymin: 1e-5, xmax: 1e16, ymax: NaN }");
    EXPECT_EQ(quorvalis::to_string(quorvalis::empty_box()), "BBox { xmin: inf, ymin: inf, xmax: -inf, ymax: -inf }");
}

}  // namespace
