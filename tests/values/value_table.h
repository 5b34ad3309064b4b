// The numbers that the values test library produces and the tests expect back
// bit for bit: fractions with no short decimal form, the ends of the double
// range, a negative zero, integers beyond float's and near double's
// precision, and floats whose text "%f" would have lost.
#ifndef VELMOR_TESTS_VALUES_VALUE_TABLE_H_
#define VELMOR_TESTS_VALUES_VALUE_TABLE_H_

const double kTableDoubles[] = {1.0 / 3,
                                0.1,
                                1e-300,
                                5e-324,
                                1.7976931348623157e308,
                                -0.0,
                                9007199254740992.0,
                                123456789012345678.0,
                                1.2345678901234567e20};
const int kTableDoubleCount = sizeof(kTableDoubles) / sizeof(kTableDoubles[0]);

const float kTableFloats[] = {1.5e-8f, 16777217.0f, 1.0f / 3, 0.1f, -0.0f, 3.4028235e38f};
const int kTableFloatCount = sizeof(kTableFloats) / sizeof(kTableFloats[0]);

#endif
