// The function table: every exported function in registration order, with
// its parameter names and docstring description, its family, the members of
// a tuple or dict result and its warm-up. This is the single list of names;
// __all__, the docstrings, the dispatch, the type stubs and the function
// reference are all derived from it.
#include "table.hpp"

#include "../bands/atr_bollinger.hpp"
#include "../bands/channels.hpp"
#include "../candle/candle.hpp"
#include "../ehlers/cycles.hpp"
#include "../ehlers/filters.hpp"
#include "../moving_averages/adaptive.hpp"
#include "../moving_averages/core.hpp"
#include "../moving_averages/volume_weighted.hpp"
#include "../moving_averages/weighted.hpp"
#include "../oscillators/forecast.hpp"
#include "../oscillators/momentum.hpp"
#include "../oscillators/range.hpp"
#include "../oscillators/rsi.hpp"
#include "../oscillators/stochastic.hpp"
#include "../statistical/array_helpers.hpp"
#include "../statistical/decimal.hpp"
#include "../statistical/statistics.hpp"
#include "../trading_hours/trading_hours.hpp"
#include "../trend/directional.hpp"
#include "../trend/overlays.hpp"
#include "../volume/volume.hpp"

namespace korva::table {
namespace {

// Multi-line descriptions.
namespace doc {
constexpr const char* wad =
    "WAD \u2014 Williams Accumulation/Distribution\n"
    "Note: uses candles[:,1] (open) as \"close\" per original code";
constexpr const char* sma_last =
    "Last value of SMA \u2014 identical rolling-sum recurrence to `sma` (NaN-aware\n"
    "windowed mean: sum/count over the window's non-NaN values), but skips\n"
    "allocating the full output series. Bit-for-bit equal to `sma(...)[-1]`\n"
    "(verified across a 400-case randomized sweep incl. NaN prefixes, random\n"
    "NaNs and strided column views; `==` comparison, no tolerance).\n"
    "\n"
    "Accepts strided (non-contiguous) views, e.g. candle column slices.\n"
    "Edge cases mirror `sma(...)[-1]`: empty input raises IndexError,\n"
    "`n < period` returns NaN, an all-NaN final window returns NaN.";
constexpr const char* ema_last =
    "Last value of EMA \u2014 runs the exact same `prev = alpha*x + (1-alpha)*prev`\n"
    "recurrence as `ema` (same float ops, same order), but skips allocating and\n"
    "filling the full output series. Bit-for-bit equal to `ema(...)[-1]`\n"
    "(verified by randomized bitwise sweeps, `==` comparison, no tolerance).\n"
    "\n"
    "Accepts strided (non-contiguous) views, e.g. candle column slices.\n"
    "Edge cases mirror `ema(...)[-1]`: empty input raises IndexError (the same\n"
    "error indexing `[-1]` on an empty numpy result would raise), `period > n`\n"
    "returns NaN, and NaNs in the source propagate through the recurrence\n"
    "exactly as in `ema`.";
constexpr const char* trading_hours_mask =
    "Boolean membership for integer UTC milliseconds and sorted, merged UTC intervals.\n"
    "Timestamps may be strided or unordered; interval arrays must be contiguous.";
constexpr const char* filter_candles_by_intervals =
    "Filter float64 candle rows without allocating a boolean mask or per-row search indexes.\n"
    "Preconverted timestamps preserve NumPy's integer conversion; all candle columns and\n"
    "their bit patterns are copied unchanged. The result never aliases a nonempty input.";
constexpr const char* candle_from_one_minutes =
    "Build one bigger-timeframe candle from a block of 1m candles \u2014\n"
    "bit-for-bit equal to `np.array([c[0,0], c[0,1], c[-1,2], c[:,3].max(),\n"
    "c[:,4].min(), c[:,5].sum()])` (NumPy 1.26.4 semantics: NaN-propagating\n"
    "max/min, pairwise summation of the volume) for blocks of up to 4320 rows;\n"
    "use the NumPy expression for longer blocks.\n"
    "\n"
    "Accepts strided (non-contiguous) views, e.g. row slices of a larger array.\n"
    "Empty input raises ValueError.";
constexpr const char* fix_jumped_candles =
    "In-place forward pass of korva's `_get_fixed_jumped_candle` over a whole\n"
    "block of candles: each candle's open moves to the previous close, and its\n"
    "low or high widens to reach it when needed. Close is only read, so one\n"
    "forward pass is bit-for-bit equal to repairing candle by candle.\n"
    "\n"
    "The array must be writeable \u2014 korva's prefill paths guard on that.\n"
    "Candle 0 is never touched (no previous close); n <= 1 is a no-op.";
constexpr const char* rsi_last =
    "Last value of RSI \u2014 identical Wilder avg_gain/avg_loss recurrence to\n"
    "`rsi` (same float ops, same order), but skips allocating the full output\n"
    "series. Bit-for-bit equal to `rsi(...)[-1]` (verified by randomized\n"
    "bitwise sweeps; `==` comparison, no tolerance).\n"
    "\n"
    "Accepts strided (non-contiguous) views, e.g. candle column slices.\n"
    "Edge cases mirror `rsi(...)[-1]`: empty input raises IndexError,\n"
    "`n <= period` returns NaN, `avg_loss == 0` returns 100.";
constexpr const char* atr_last =
    "Last value of ATR \u2014 identical true-range fold and Wilder smoothing\n"
    "recurrence to `atr` (same float ops, same order), but skips allocating\n"
    "the full output series. Takes the usual korva candle matrix (n x 6 rows;\n"
    "columns 2/3/4 = close/high/low), strided row views included. Bit-for-bit\n"
    "equal to `atr(...)[-1]` (verified by randomized bitwise sweeps).\n"
    "\n"
    "Edge cases mirror `atr(...)[-1]`: empty input raises IndexError,\n"
    "`n < period` returns NaN.";
constexpr const char* bollinger_bands_last =
    "Last values of Bollinger Bands \u2014 identical rolling sum / sum-of-squares\n"
    "recurrence to `bollinger_bands` (same float ops, same order), but skips\n"
    "allocating the three full output series. Returns `(upper, middle, lower)`,\n"
    "bit-for-bit equal to the last elements of `bollinger_bands(...)`\n"
    "(verified by randomized bitwise sweeps; `==` comparison, no tolerance).\n"
    "\n"
    "Accepts strided (non-contiguous) views, e.g. candle column slices.\n"
    "Edge cases mirror the array version + `[-1]`: empty input raises\n"
    "IndexError, `n < period` returns `(NaN, NaN, NaN)`; NaNs in the window\n"
    "poison the sums exactly as in `bollinger_bands`.";
constexpr const char* dx =
    "Calculate DX (Directional Movement Index) - matches Korva's Python implementation exactly\n"
    "Uses Korva's rma seeding behavior (newseries[-1] = source[-1])";
constexpr const char* find_order_index =
    "Find index of a row in a 2D array that matches the given 1D array exactly.\n"
    "Returns -1 if no match. Mirrors np.all(orders[i] == order_array) used by FuturesExchange.";
}  // namespace doc

constexpr Function table[] = {
    {"run_coordinator", 0, {}, "Run shared state in a dedicated child; never block the dashboard process.", nullptr},
    fn<ma::cwma>("cwma", {"source", "period"}, "Cubed Weighted Moving Average")
        .in(Family::MovingAverages)
        .warm(copies("n if period < 2 else period + 1", "source")),
    fn<ma::dema>("dema", {"source", "period"},
                 "Calculate DEMA (Double Exponential Moving Average) - Ultra-optimized version")
        .in(Family::MovingAverages)
        .warm(none()),
    fn<ma::ema>("ema", {"source", "period"}, "Calculate EMA (Exponential Moving Average) - Optimized version")
        .in(Family::MovingAverages)
        .warm(nans("n if period > n else 0")),
    fn<ma::ema_last>("ema_last", {"source", "period"}, doc::ema_last).in(Family::MovingAverages),
    fn<ma::epma>("epma", {"source", "period", "offset"}, "End Point Moving Average")
        .in(Family::MovingAverages)
        .warm(copies("n if period < 2 or period + 2 == 2 * offset else period + offset + 1", "source")
                  .noting("all when the weights sum to zero")),
    fn<ma::frama>("frama", {"candles", "window", "fc", "sc"}, "Calculate FRAMA (Fractal Adaptive Moving Average)")
        .in(Family::MovingAverages)
        .warm(nans("window + window % 2 - 1"))
        .uses_libm(),
    fn<ma::hma>("hma", {"source", "period"}, "HMA — Hull Moving Average")
        .in(Family::MovingAverages)
        .warm(zeros("max(period // 2, isqrt(period)) - 1")
                  .noting("the first period + isqrt(period) - 2 rest on zero-filled stages")),
    fn<ma::hwma>("hwma", {"source", "na", "nb", "nc"}, "Holt-Winter Moving Average")
        .in(Family::MovingAverages)
        .warm(none()),
    fn<ma::jma>("jma", {"source", "period", "phase", "power"}, "JMA — Jurik Moving Average")
        .in(Family::MovingAverages)
        .warm(none())
        .uses_libm(),
    fn<ma::kama>("kama", {"source", "period", "fast_length", "slow_length"},
                 "Calculate KAMA (Kaufman Adaptive Moving Average) - Optimized version")
        .in(Family::MovingAverages)
        .warm(copies("period", "source")),
    fn<ma::maaq>("maaq", {"source", "period", "fast_period", "slow_period"}, "MAAQ — Moving Average Adaptive Q")
        .in(Family::MovingAverages)
        .warm(copies("period", "source")),
    fn<ma::mcginley_dynamic>("mcginley_dynamic", {"source", "period", "k"}, "McGinley Dynamic")
        .in(Family::MovingAverages)
        .warm(none()),
    fn<ma::mwdx>("mwdx", {"source", "factor"}, "MWDX Average").in(Family::MovingAverages).warm(none()),
    fn<ma::nma>("nma", {"source", "period"}, "NMA — Natural Moving Average")
        .in(Family::MovingAverages)
        .warm(nans("period + 1"))
        .uses_libm(),
    fn<ma::rma>("rma", {"source", "length"}, "RMA — Wilder's EMA (alpha = 1/length)")
        .in(Family::MovingAverages)
        .warm(none()),
    fn<ma::sma>("sma", {"source", "period"}, "Calculate Simple Moving Average (SMA)")
        .in(Family::MovingAverages)
        .warm(nans("period - 1")),
    fn<ma::sma_last>("sma_last", {"source", "period"}, doc::sma_last).in(Family::MovingAverages),
    fn<ma::smma>("smma", {"source", "length"}, "Calculate SMMA (Smoothed Moving Average)")
        .in(Family::MovingAverages)
        .warm(nans("length - 1")),
    fn<ma::sqwma>("sqwma", {"source", "period"}, "Squared Weighted Moving Average")
        .in(Family::MovingAverages)
        .warm(copies("n if period < 2 else period + 1", "source")),
    fn<ma::srwma>("srwma", {"source", "period"}, "Square Root Weighted Moving Average")
        .in(Family::MovingAverages)
        .warm(copies("n if period < 2 else period + 1", "source")),
    fn<ma::t3>("t3", {"candles", "period", "vfactor", "source_type", "sequential"},
               "Calculate T3 (Triple Exponential Moving Average)")
        .in(Family::MovingAverages)
        .warm(none()),
    fn<ma::tema>("tema", {"source", "period"}, "Calculate TEMA (Triple Exponential Moving Average)")
        .in(Family::MovingAverages)
        .warm(none()),
    fn<ma::trix>("trix", {"source", "period"}, "TRIX — triple EMA of log(price), percent change * 10000")
        .in(Family::MovingAverages)
        .warm(nans("1"))
        .uses_libm(),
    fn<ma::vidya>("vidya", {"source", "length", "fix_cmo", "select"}, "VIDYA — Variable Index Dynamic Average")
        .in(Family::MovingAverages)
        .warm(none()),
    fn<ma::vlma_inner>("vlma_inner", {"source", "a", "b", "c", "d", "min_period", "max_period"},
                       "VLMA inner loop (called from Python after computing deviation bands)")
        .in(Family::MovingAverages)
        .warm(none()),
    fn<ma::vpwma>("vpwma", {"source", "period", "power"}, "Variable Power Weighted Moving Average")
        .in(Family::MovingAverages)
        .warm(copies("n if period < 2 else period + 1", "source"))
        .uses_libm(),
    fn<ma::vwap>("vwap", {"candles", "source_type", "anchor", "sequential"},
                 "Calculate VWAP (Volume Weighted Average Price)")
        .in(Family::MovingAverages)
        .warm(none()),
    fn<ma::vwma>("vwma", {"candles", "period"}, "Calculate Volume Weighted Moving Average - Ultra-optimized version")
        .in(Family::MovingAverages)
        .warm(none().noting("expanding averages before period rows")),
    fn<ma::wilders>("wilders", {"source", "period"}, "Wilders Smoothing (same as rma with period param)")
        .in(Family::MovingAverages)
        .warm(none()),
    fn<ma::wma>("wma", {"source", "period"}, "Calculate Weighted Moving Average - Ultra-optimized version")
        .in(Family::MovingAverages)
        .warm(nans("period - 1")),
    fn<ma::zlema>("zlema", {"source", "period"}, "Calculate ZLEMA (Zero-Lag Exponential Moving Average)")
        .in(Family::MovingAverages)
        .warm(nans("(period - 1) // 2")),
    fn<osc::aroonosc>("aroonosc", {"candles", "period"}, "Aroon Oscillator")
        .in(Family::Oscillators)
        .warm(nans("period - 1")),
    fn<osc::cci>("cci", {"candles", "period"}, "CCI — Commodity Channel Index")
        .in(Family::Oscillators)
        .warm(nans("period - 1")),
    fn<osc::cfo>("cfo", {"source", "period", "scalar"}, "CFO — Chande Forecast Oscillator")
        .in(Family::Oscillators)
        .warm(nans("period - 1")),
    fn<osc::cg>("cg", {"source", "period"}, "CG — Center of Gravity").in(Family::Oscillators).warm(nans("period + 1")),
    fn<osc::cmo>("cmo", {"source", "period"}, "CMO — Chande Momentum Oscillator")
        .in(Family::Oscillators)
        .warm(nans("period")),
    fn<osc::dpo>("dpo", {"source", "period"}, "DPO — Detrended Price Oscillator")
        .in(Family::Oscillators)
        .warm(nans("period + period // 2")),
    fn<osc::dti>("dti", {"candles", "r", "s", "u"},
                 "Calculate DTI (Dynamic Trend Index) by William Blau - Optimized version")
        .in(Family::Oscillators)
        .warm(none()),
    fn<osc::fisher>("fisher", {"candles", "period"}, "Fisher Transform → (fisher, signal)")
        .in(Family::Oscillators)
        .returns({"fisher", "signal"})
        .warm(zeros("period").only("fisher"))
        .warm(zeros("period + 1").only("signal"))
        .uses_libm(),
    fn<osc::fosc>("fosc", {"source", "period"}, "Calculate FOSC (Forecast Oscillator)")
        .in(Family::Oscillators)
        .warm(nans("period - 1")),
    fn<osc::lrsi>("lrsi", {"candles", "alpha"}, "Laguerre RSI").in(Family::Oscillators).warm(none()),
    fn<osc::macd>("macd", {"source", "fast_period", "slow_period", "signal_period"},
                  "Calculate MACD (Moving Average Convergence/Divergence)")
        .in(Family::Oscillators)
        .returns({"macd", "signal", "hist"})
        .warm(none()),
    fn<osc::mass>("mass", {"candles", "period"}, "MASS — Mass Index").in(Family::Oscillators).warm(zeros("period - 1")),
    fn<osc::pfe>("pfe", {"source", "period", "smoothing"}, "PFE — Polarized Fractal Efficiency")
        .in(Family::Oscillators)
        .warm(zeros("period - 1").noting("-0.0")),
    fn<osc::rsi>("rsi", {"source", "period"}, "Calculate RSI (Relative Strength Index)")
        .in(Family::Oscillators)
        .warm(nans("period")),
    fn<osc::rsi_last>("rsi_last", {"source", "period"}, doc::rsi_last).in(Family::Oscillators),
    fn<osc::rsx>("rsx", {"source", "period"}, "RSX — Relative Strength Xtra")
        .in(Family::Oscillators)
        .warm(nans("period")),
    fn<osc::srsi>("srsi", {"source", "period", "period_stoch", "k_period", "d_period"},
                  "Calculate SRSI (Stochastic RSI) - Optimized version")
        .in(Family::Oscillators)
        .returns({"k", "d"})
        .warm(nans("period + period_stoch + max(k_period, 1) - 2").only("k"))
        .warm(nans("period + period_stoch + max(k_period, 1) + d_period - 3").only("d")),
    fn<osc::stoch>("stoch",
                   {"candles", "fastk_period", "slowk_period", "_slowk_matype", "slowd_period", "_slowd_matype"},
                   "Calculate Stochastic Oscillator - Ultra-optimized version")
        .in(Family::Oscillators)
        .returns({"slowk", "slowd"})
        .warm(nans("max(fastk_period, slowk_period) - 1").only("slowk"))
        .warm(nans("max(fastk_period, slowk_period, slowd_period) - 1").only("slowd")),
    fn<osc::stochf>("stochf", {"candles", "fastk_period", "fastd_period", "fastd_matype"},
                    "Calculate Stochastic Fast - Ultra-optimized version")
        .in(Family::Oscillators)
        .returns({"fastk", "fastd"})
        .warm(nans("fastk_period - 1").only("fastk"))
        .warm(nans("max(fastk_period, fastd_period) - 1").only("fastd")),
    fn<osc::willr>("willr", {"candles", "period"}, "Calculate Williams' %R - Ultra-optimized version")
        .in(Family::Oscillators)
        .warm(nans("period - 1")),
    fn<osc::wt>("wt", {"candles", "wtchannellen", "wtaveragelen", "wtmalen", "oblevel", "oslevel", "source_type"},
                "Calculate Wavetrend indicator")
        .in(Family::Oscillators)
        .returns({"wt1",
                  "wt2",
                  {"cross_up", Item::Mask},
                  {"cross_down", Item::Mask},
                  {"oversold", Item::Mask},
                  {"overbought", Item::Mask},
                  "diff"})
        .warm(none()),
    fn<trend::adx>("adx", {"candles", "period"}, "Calculate ADX (Average Directional Index)")
        .in(Family::Trend)
        .warm(nans("2 * period")),
    fn<trend::adxr>("adxr", {"candles", "period"}, "ADXR — Average Directional Movement Index Rating")
        .in(Family::Trend)
        .warm(nans("2 * period - 1")),
    fn<trend::alligator>("alligator", {"source"},
                         "Calculate Alligator indicator (Jaw, Teeth, Lips) - Optimized version")
        .in(Family::Trend)
        .returns({"jaw", "teeth", "lips"})
        .warm(nans("20").only("jaw"))
        .warm(nans("12").only("teeth"))
        .warm(nans("7").only("lips")),
    fn<trend::di>("di", {"candles", "period"}, "Calculate DI (Directional Indicator) - Optimized version")
        .in(Family::Trend)
        .returns({"plus", "minus"})
        .warm(nans("period")),
    fn<trend::dm>("dm", {"candles", "period"}, "Calculate Directional Movement (DM) - Ultra-optimized version")
        .in(Family::Trend)
        .returns({"plus", "minus"})
        .warm(nans("period")),
    fn<trend::dx>("dx", {"candles", "di_length", "adx_smoothing", "_sequential"}, doc::dx)
        .in(Family::Trend)
        .returns({"adx", "plus_di", "minus_di"})
        .warm(none()),
    fn<trend::ichimoku_cloud>(
        "ichimoku_cloud",
        {"candles", "conversion_line_period", "base_line_period", "lagging_line_period", "displacement"},
        "Calculate Ichimoku Cloud")
        .in(Family::Trend)
        .returns({{"conversion_line", Item::Float},
                  {"base_line", Item::Float},
                  {"span_a", Item::Float},
                  {"span_b", Item::Float}}),
    fn<trend::safezonestop>("safezonestop", {"candles", "period", "mult", "max_lookback", "direction"},
                            "SafeZone Stops")
        .in(Family::Trend)
        .warm(none()),
    fn<trend::sar>("sar", {"candles", "acceleration", "maximum"}, "Parabolic SAR").in(Family::Trend).warm(none()),
    fn<trend::supertrend>("supertrend", {"candles", "period", "factor"}, "SuperTrend → (trend, changed)")
        .in(Family::Trend)
        .returns({"trend", "changed"})
        .warm(zeros("max(period, 1) - 1").only("trend"))
        .warm(zeros("period").only("changed")),
    fn<trend::vi>("vi", {"candles", "period", "sequential"}, "Calculate VI (Vortex Indicator)")
        .in(Family::Trend)
        .returns({"vi_plus", "vi_minus"})
        .warm(nans("period")),
    fn<volume::adosc>("adosc", {"candles", "fast_period", "slow_period"},
                      "Calculate ADOSC (Chaikin A/D Oscillator) - Ultra-optimized version")
        .in(Family::Volume)
        .warm(none()),
    fn<volume::cvi>("cvi", {"candles", "period"},
                    "Calculate CVI (Chaikins Volatility Indicator) - Ultra-optimized version")
        .in(Family::Volume)
        .warm(nans("period")),
    fn<volume::efi>("efi", {"source", "candles", "period"}, "EFI — Elder's Force Index")
        .in(Family::Volume)
        .warm(nans("period")),
    fn<volume::emv>("emv", {"candles", "length", "div"}, "EMV — Ease of Movement")
        .in(Family::Volume)
        .warm(zeros("max(length, 2) - 1")),
    fn<volume::nvi>("nvi", {"source", "candles"}, "NVI — Negative Volume Index").in(Family::Volume).warm(none()),
    fn<volume::pvi>("pvi", {"source", "candles"}, "PVI — Positive Volume Index").in(Family::Volume).warm(none()),
    fn<volume::wad>("wad", {"candles"}, doc::wad).in(Family::Volume).warm(none()),
    fn<bands::atr>("atr", {"candles", "period"}, "Calculate ATR (Average True Range) - Ultra-optimized version")
        .in(Family::Bands)
        .warm(nans("period - 1")),
    fn<bands::atr_last>("atr_last", {"candles", "period"}, doc::atr_last).in(Family::Bands),
    fn<bands::bollinger_bands>("bollinger_bands", {"source", "period", "devup", "devdn"},
                               "Calculate Bollinger Bands - Optimized version")
        .in(Family::Bands)
        .returns({"upper", "middle", "lower"})
        .warm(nans("period - 1")),
    fn<bands::bollinger_bands_last>("bollinger_bands_last", {"source", "period", "devup", "devdn"},
                                    doc::bollinger_bands_last)
        .in(Family::Bands)
        .returns({{"upper", Item::Float}, {"middle", Item::Float}, {"lower", Item::Float}}),
    fn<bands::bollinger_bands_width>("bollinger_bands_width", {"source", "period", "mult"},
                                     "Calculate Bollinger Bands Width - Optimized version")
        .in(Family::Bands)
        .warm(nans("period - 1")),
    fn<bands::chande>("chande", {"candles", "period", "mult", "direction"},
                      "Calculate Chande (Chandelier Exit) - Ultra-optimized version")
        .in(Family::Bands)
        .warm(nans("period - 1")),
    fn<bands::chop>("chop", {"candles", "period", "scalar", "drift"},
                    "Calculate CHOP (Choppiness Index) - Ultra-optimized version")
        .in(Family::Bands)
        .warm(nans("max(period, drift) - 1"))
        .uses_libm(),
    fn<bands::donchian>("donchian", {"candles", "period"}, "Calculate Donchian Channels - Ultra-optimized version")
        .in(Family::Bands)
        .returns({"upperband", "middleband", "lowerband"})
        .warm(nans("period - 1")),
    fn<bands::keltner_inner>("keltner_inner", {"ma_values", "high", "low", "close", "period", "multiplier"},
                             "Keltner Channel inner (takes pre-computed MA) → (upper, middle, lower)")
        .in(Family::Bands)
        .returns({"upper", "middle", "lower"})
        .warm(nans("period - 1").only("upper, lower"))
        .warm(copies("n", "ma_values").only("middle")),
    fn<ehlers::bandpass>("bandpass", {"source", "period", "bandwidth"},
                         "Bandpass Filter → (bp, bp_normalized, signal, trigger)")
        .in(Family::Cycles)
        .returns({"bp", "bp_normalized", "signal", "trigger"})
        .warm(none())
        .uses_libm(),
    fn<ehlers::correlation_cycle>("correlation_cycle", {"source", "period", "threshold"},
                                  "Correlation Cycle → (real, imag, angle, state)")
        .in(Family::Cycles)
        .returns({"real", "imag", "angle", "state"})
        .warm(nans("max(period, 2)").only("real, imag, angle"))
        .warm(zeros("1").only("state"))
        .uses_libm(),
    fn<ehlers::edcf>("edcf", {"source", "period"}, "EDCF — Ehlers Distance Coefficient Filter")
        .in(Family::Cycles)
        .warm(nans("2 * period")),
    fn<ehlers::gauss>("gauss", {"source", "period", "poles"}, "Gaussian Filter")
        .in(Family::Cycles)
        .warm(none())
        .uses_libm(),
    fn<ehlers::high_pass>("high_pass", {"source", "period"}, "High Pass 1-pole")
        .in(Family::Cycles)
        .warm(none())
        .uses_libm(),
    fn<ehlers::high_pass_2_pole>("high_pass_2_pole", {"source", "period"}, "High Pass 2-pole")
        .in(Family::Cycles)
        .warm(none())
        .uses_libm(),
    fn<ehlers::itrend>("itrend", {"source", "alpha"}, "Instantaneous Trendline → (signal, it, trigger)")
        .in(Family::Cycles)
        .returns({"signal", "it", "trigger"})
        .warm(none().only("signal, it"))
        .warm(copies("20", "it").only("trigger")),
    fn<ehlers::mama>("mama", {"source", "fastlimit", "slowlimit"}, "MAMA — MESA Adaptive Moving Average → (mama, fama)")
        .in(Family::Cycles)
        .returns({"mama", "fama"})
        .warm(none())
        .uses_libm(),
    fn<ehlers::pma>("pma", {"source"}, "PMA — Predictive Moving Average → (predict, trigger)")
        .in(Family::Cycles)
        .returns({"predict", "trigger"})
        .warm(nans("6")),
    fn<ehlers::reflex>("reflex", {"source", "period"}, "Reflex indicator")
        .in(Family::Cycles)
        .warm(zeros("period"))
        .uses_libm(),
    fn<ehlers::supersmoother>("supersmoother", {"source", "period"}, "SuperSmoother 2-pole")
        .in(Family::Cycles)
        .warm(none())
        .uses_libm(),
    fn<ehlers::supersmoother_3_pole>("supersmoother_3_pole", {"source", "period"}, "SuperSmoother 3-pole")
        .in(Family::Cycles)
        .warm(none())
        .uses_libm(),
    fn<ehlers::trendflex>("trendflex", {"source", "period"}, "TrendFlex indicator")
        .in(Family::Cycles)
        .warm(zeros("period"))
        .uses_libm(),
    fn<ehlers::voss>("voss", {"source", "period", "predict", "bandwidth"}, "Voss Predictive Filter → (voss, filt)")
        .in(Family::Cycles)
        .returns({"voss", "filt"})
        .warm(zeros("max(period, 3 * predict, 5) + 1"))
        .uses_libm(),
    fn<trading_hours::trading_hours_mask>("trading_hours_mask", {"timestamps", "starts", "ends"},
                                          doc::trading_hours_mask)
        .in(Family::Candles),
    fn<trading_hours::filter_candles_by_intervals>(
        "filter_candles_by_intervals", {"candles", "timestamps", "starts", "ends"}, doc::filter_candles_by_intervals)
        .in(Family::Candles),
    fn<candle::candle_from_one_minutes>("candle_from_one_minutes", {"candles"}, doc::candle_from_one_minutes)
        .in(Family::Candles),
    fn<candle::fix_jumped_candles>("fix_jumped_candles", {"candles"}, doc::fix_jumped_candles).in(Family::Candles),
    fn<candle::emd>("emd", {"candles", "period", "delta", "fraction"},
                    "EMD — Empirical Mode Decomposition → (upperband, middleband, lowerband)")
        .in(Family::Candles)
        .returns({"upperband", "middleband", "lowerband"})
        .warm(nans("49").only("upperband, lowerband"))
        .warm(nans("2 * period - 1").only("middleband"))
        .uses_libm(),
    fn<candle::heikin_ashi_candles>("heikin_ashi_candles", {"candles"},
                                    "Heikin Ashi Candles → (open, close, high, low)")
        .in(Family::Candles)
        .returns({"open", "close", "high", "low"})
        .warm(nans("1")),
    fn<candle::qstick>("qstick", {"candles", "period"}, "QStick — SMA of (close - open)")
        .in(Family::Candles)
        .warm(zeros("period - 1")),
    fn<statistical::damiani_volatmeter>("damiani_volatmeter",
                                        {"candles", "source", "vis_atr", "vis_std", "sed_atr", "sed_std", "threshold"},
                                        "Damiani Volatmeter — returns (vol, anti)")
        .in(Family::Statistics)
        .returns({"vol", "anti"})
        .warm(zeros("max(sed_std, vis_atr - 1, sed_atr - 1)").only("vol"))
        .warm(zeros("sed_std").only("anti")),
    fn<statistical::hurst_rs>("hurst_rs", {"x", "min_chunksize", "max_chunksize", "num_chunksize"},
                              "Hurst RS (R/S method for Hurst exponent)")
        .in(Family::Statistics)
        .uses_libm(),
    fn<statistical::linearreg>("linearreg", {"source", "period"}, "Linear Regression Value")
        .in(Family::Statistics)
        .warm(nans("period - 1")),
    fn<statistical::find_order_index>("find_order_index", {"orders", "order_array"}, doc::find_order_index)
        .in(Family::Statistics),
    fn<statistical::moving_std>("moving_std", {"source", "period"}, "Calculate moving standard deviation")
        .in(Family::Statistics)
        .warm(nans("period - 1")),
    fn<statistical::shift>("shift", {"source", "periods"}, "Shift array by a given number of periods")
        .in(Family::Statistics)
        .warm(nans("max(periods, 0)").noting("trailing NaN when periods < 0")),
    fn<statistical::subtract_floats>(
        "subtract_floats", {"float1", "float2"},
        "Subtracts two floats without the rounding issue by using precise decimal arithmetic")
        .in(Family::Statistics),
    fn<statistical::sum_floats>("sum_floats", {"float1", "float2"},
                                "Sums two floats without the rounding issue by using precise decimal arithmetic")
        .in(Family::Statistics),
};

static_assert(std::size(table) <= kCapacity, "raise table::kCapacity");

// The reference and the stubs need the members of every tuple or dict result
// (and only of those), a family for every numeric function, and warm-ups only
// where a series is among the results.
constexpr bool described() {
    for (std::size_t i = 1; i < std::size(table); ++i) {
        const Function& f = table[i];
        const bool several = f.result == Result::Tuple || f.result == Result::Dict;
        if (several != (f.output_count > 0) || f.family == Family::Coordinator) return false;
        bool series = f.result == Result::Series;
        for (std::size_t k = 0; k < f.output_count; ++k) series = series || f.outputs[k].item == Item::Series;
        if (f.warmup_count > 0 && !series) return false;
    }
    return true;
}
static_assert(described(),
              "name the members of tuple and dict results, give each function a family, and warm-ups only "
              "to functions with a series result");

}  // namespace

std::span<const Function> functions() { return table; }

}  // namespace korva::table
