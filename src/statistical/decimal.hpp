// Addition and subtraction of two floats in decimal arithmetic, so that
// balances do not pick up binary rounding noise (0.1 + 0.2 gives 0.3).
#pragma once

namespace korva::statistical {

double sum_floats(double float1, double float2);
double subtract_floats(double float1, double float2);

}  // namespace korva::statistical
