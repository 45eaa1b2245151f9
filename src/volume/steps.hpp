// Steps of the volume indicators that the batch functions and their streams
// share: one copy of each operation order.
#pragma once
#include <cmath>

#include "../helpers/lanes.hpp"
#include "../helpers/smoothing.hpp"

namespace korva::volume {

// adosc's money-flow volume of a row: the close's place in the range times
// the volume, 0.0 for a zero range (0 x NaN volume stays NaN).
inline double money_flow_volume(double high, double low, double close, double volume) {
    const double r = high - low;
    const double mfm = r == 0.0 ? 0.0 : ((close - low) - (high - close)) / r;
    return mfm * volume;
}

// adosc's A/D line and its two averages, both seeded with the first value.
struct AdoscState {
    double ad = 0.0, fast = 0.0, slow = 0.0;
    double start(double mfv) {
        ad = fast = slow = mfv;
        return fast - slow;
    }
    double step(const EmaCoefficients& cf, const EmaCoefficients& cs, double mfv) {
        ad = ad + mfv;
        fast = smooth(cf, fast, ad);
        slow = smooth(cs, slow, ad);
        return fast - slow;
    }
};

// cvi's rate of change of the range average against its value `period`
// rows before; 0.0 where that is zero.
inline double cvi_change(double now, double before) { return before == 0.0 ? 0.0 : ((now - before) / before) * 100.0; }

// emv's value of a row after the first whose volume is not zero (a NaN
// volume is not zero and divides); rows with a zero volume hold 0.0.
inline double emv_row(double high, double low, double prev_high, double prev_low, double volume, double div) {
    return ((high - low) * (div * ((high + low) * 0.5 - (prev_high + prev_low) * 0.5))) / volume;
}

// wad's value of a row after the first, with the open c standing in for the
// close (pc: the previous open): low() and high() are read only on the rows
// that need them.
template <class Low, class High>
inline double wad_row(double pc, double c, Low&& low, High&& high) {
    // Whether the low (high) or the previous open is the extreme is a coin
    // toss on real candles: the branch-free form, in lane 0 of a pair.
    double a = 0.0;
    if (pc < c) {
        a = c - min_num(Pair{low()}, Pair{pc})[0];
    } else if (pc > c) {
        a = c - max_num(Pair{high()}, Pair{pc})[0];
    }
    return a;
}

}  // namespace korva::volume
